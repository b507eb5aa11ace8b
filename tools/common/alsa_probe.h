// What a tool says when a library stays silent about its device: the
// libraries report only codes, so the tool opens the same ALSA device itself,
// in the same format, and asks why it fails.
#pragma once

#include <string>

namespace dtmftools {

enum class AlsaDirection { kCapture, kPlayback };

// Opens `device` in 16-bit mono at `rate` and closes it again. Empty when that
// works, otherwise ALSA's reason.
std::string AlsaOpenError(const char* device, AlsaDirection direction, unsigned rate);

}
