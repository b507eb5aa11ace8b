// What the tools ask winmm themselves, on Windows (alsa_probe.h on Linux):
// the libraries report a failed start as a number, or not at all, so the
// reason comes from asking the same device again.
#pragma once

#include <string>

namespace dtmftools {

enum class Direction { kCapture, kPlayback };

// Asks the preferred device for `direction`, through the wave mapper as the
// libraries open it, whether it takes their format (16-bit mono; capture at
// 4000/s, playback at 8000/s); returns winmm's reason when it does not, or an
// empty string.
std::string DeviceProblem(Direction direction);

}
