// The output lines of dtmf-scan: one per press, written as soon as the press
// is found, and with --json one more when a file ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "press_scanner.h"
#include "press_tracker.h"

namespace dtmfscan {

using tonewatch::Press;

// "TIME KEY", preceded by `prefix` (empty, or the file name and ": ").
std::string TextPress(const std::string& prefix, const Press& press);

// {"file":...,"time":...,"key":...}
std::string JsonPress(const std::string& file, const Press& press);

// The end of a file that was read whole: {"file":...,"keys":...,"blocks":...}
std::string JsonEnd(const std::string& file, const std::vector<Press>& presses, int64_t blocks);

// The same for a press the press tracker found, at the time of its start;
// in JSON with its end too: {"file":...,"time":...,"key":...,"end":...}.
std::string TextPress(const std::string& prefix, const tonewatch::TrackedPress& press);
std::string JsonPress(const std::string& file, const tonewatch::TrackedPress& press);

// The end of a file the press tracker read whole: {"file":...,"keys":...}
std::string JsonEnd(const std::string& file, const std::vector<tonewatch::TrackedPress>& presses);

// A sample's time at 8000/s in seconds with three decimals, rounded to the
// nearest millisecond ("1.250").
std::string SampleTime(int64_t sample);

// {"file":...,"error":...}
std::string JsonError(const std::string& file, const std::string& error);

}
