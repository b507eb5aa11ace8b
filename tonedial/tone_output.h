// The tone phone's way out to the speaker: one backend per platform, ALSA or
// winmm, behind the one renderer of tone_phone.cpp. Frames are 16-bit mono at
// kToneRate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonedial {

inline constexpr unsigned kToneRate = 8000;

struct ToneOutput;

// Opens the default playback device; null when it cannot be opened.
ToneOutput* ToneOutputOpen();

// Plays `count` frames, blocking while the device holds as much as it takes.
// False when the device has failed for good; it must then be closed.
bool ToneOutputPlay(ToneOutput* output, const int16_t* frames, std::size_t count);

// Returns once everything played has left the device, and releases it.
void ToneOutputClose(ToneOutput* output);

}
