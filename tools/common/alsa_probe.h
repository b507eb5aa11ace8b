// What the tools ask ALSA themselves. The libraries report a failed start as
// a number, or not at all, and keep alsa-lib quiet, so the reason (no such
// PCM, server down or not answering, device busy) comes from opening the same
// device again.
#pragma once

#include <string>

namespace dtmftools {

enum class Direction { kCapture, kPlayback };

// Opens the PCM `name` as the library for `direction` does and asks for its
// format (16-bit mono; playback at 8000/s); returns why that fails, or an
// empty string when it works. alsa-lib's own messages are not shown. Gives
// up after kProbeSeconds on a sound server that does not answer (frozen);
// the open is then left to a thread of its own, and the process should end
// soon.
std::string DeviceProblem(const std::string& name, Direction direction);

inline constexpr int kProbeSeconds = 2;

// What DeviceProblem returns for a server that did not answer.
std::string NoAnswer();

// Text of an ALSA PCM configuration string literal holding `text`.
std::string AlsaQuoted(const std::string& text);

}
