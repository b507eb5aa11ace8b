// What the tools ask ALSA themselves. The libraries report a failed start as
// a number, or not at all, so the reason (no such PCM, server down, device
// busy) comes from opening the same device again.
#pragma once

#include <string>

namespace dtmftools {

// From here on alsa-lib's messages go to stderr as "PROG: ALSA: MESSAGE",
// each distinct message once, instead of its own raw lines; also those of
// the libraries, which share the process's alsa-lib.
void RouteAlsaMessages();

// How many messages alsa-lib has given since they were routed.
int AlsaMessageCount();

enum class Direction { kCapture, kPlayback };

// Opens the PCM `name` as the library for `direction` does and asks for its
// format (16-bit mono; playback at 8000/s); returns why that fails, or an
// empty string when it works.
std::string DeviceProblem(const std::string& name, Direction direction);

}
