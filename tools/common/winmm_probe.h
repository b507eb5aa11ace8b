// The winmm counterpart of alsa_probe.h: what a tool says when a library stays
// silent about its device.
#pragma once

#include <string>

namespace dtmftools {

enum class WaveDirection { kCapture, kPlayback };

// Asks the preferred device whether it opens in 16-bit mono at `rate`. Empty
// when it does, otherwise winmm's reason.
std::string WaveOpenError(WaveDirection direction, unsigned rate);

}
