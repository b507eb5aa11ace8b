// Why libtonewatch's capture did not start, as the tools that listen say it.
#pragma once

#include <cstdint>
#include <string>

#include "tonewatch.h"
#include "tool.h"

namespace dtmftools {

// "PROG: cannot capture from DEVICE: WHY (start returned CODE)": WHY is what
// the device told of itself (`problem`), or else what the start's result means.
inline void ComplainCaptureStart(int32_t code, const std::string& device, std::string problem) {
    if (problem.empty()) {
        switch (code) {
            case TONEWATCH_OPEN_FAILED: problem = "the device could not be opened"; break;
            case TONEWATCH_QUEUE_FAILED: problem = "the capture buffer could not be queued"; break;
            case TONEWATCH_START_FAILED: problem = "capture could not be started"; break;
            default: problem = "unknown result";
        }
    }
    Complain("cannot capture from " + device + ": " + problem + " (start returned " + std::to_string(code) + ")");
}

}
