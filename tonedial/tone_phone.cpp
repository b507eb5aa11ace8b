// The phone library's stand-in: dials in-band, as a phone on an analogue
// line does, by playing each key's tone pair on the default playback device
// (tone_output.h: ALSA "default" or the PCM named by TONEDIAL_PLAYBACK_DEVICE
// on Linux, winmm on Windows), 8000 frames/s, 16-bit mono. Every unit takes
// 300 ms:
//
//   unit                | plays
//   --------------------+-----------------------------------------
//   0-9 * # A-D a-d     | 150 ms tone pair, then 150 ms silence
//   anything else       | 300 ms silence
//
// 150 ms on and off leave a whole 62.5 ms analysis block of tone, and one of
// silence, at any alignment, with room for the 5 ms raised-cosine ramps that
// keep the edges from clicking. Low tone -10 dBFS, high tone -8.5 dBFS: a 1.5 dB
// twist for the line's high-frequency loss, and a summed peak of 22677 that
// cannot clip.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <optional>

#include "dtmf_keypad.h"
#include "phone_service.h"
#include "tone_output.h"

namespace tonedial {
namespace {

constexpr int kToneFrames = 1200;
constexpr int kSlotFrames = 2400;
constexpr int kRampFrames = 40;
constexpr double kLowDbfs = -10.0;
constexpr double kHighDbfs = -8.5;

using tonewatch::KeyPair;

// The pair of a unit, lower-case a-d dialled as A-D; none for anything else.
std::optional<KeyPair> FindKey(uint32_t unit) {
    if (unit >= 'a' && unit <= 'd') unit -= 'a' - 'A';
    if (unit > 0x7F) return std::nullopt;
    return tonewatch::KeyFrequencies(static_cast<char>(unit));
}

double PeakOfDbfs(double dbfs) { return 32767.0 * std::pow(10.0, dbfs / 20.0); }

using Slot = std::array<int16_t, kSlotFrames>;

// One unit's 300 ms. A pause is the silence alone.
void RenderSlot(const std::optional<KeyPair>& pair, Slot& slot) {
    slot.fill(0);
    if (!pair) return;
    const double low_peak = PeakOfDbfs(kLowDbfs);
    const double high_peak = PeakOfDbfs(kHighDbfs);
    for (int i = 0; i < kToneFrames; ++i) {
        const int edge = std::min(i, kToneFrames - 1 - i);
        const double ramp =
            edge < kRampFrames ? 0.5 - 0.5 * std::cos(std::numbers::pi * (edge + 0.5) / kRampFrames) : 1.0;
        const double t = 2.0 * std::numbers::pi * i / kToneRate;
        const double value = low_peak * std::sin(pair->low_hz * t) + high_peak * std::sin(pair->high_hz * t);
        slot[i] = static_cast<int16_t>(std::lround(ramp * value));
    }
}

// The device is opened by the first send of a dial and released by its finish.
// A dial whose device cannot be opened, or breaks, stays silent to its finish
// rather than trying again on every unit.
struct PhoneLine {
    std::mutex lock;
    ToneOutput* output = nullptr;
    bool silent = false;
};

PhoneLine line;

}

void SendDigit(uint32_t unit) {
    const std::lock_guard<std::mutex> guard(line.lock);
    if (line.output == nullptr && !line.silent) {
        line.output = ToneOutputOpen();
        line.silent = line.output == nullptr;
    }
    if (line.silent) return;
    Slot slot;
    RenderSlot(FindKey(unit), slot);
    if (!ToneOutputPlay(line.output, slot.data(), slot.size())) {
        ToneOutputClose(line.output);
        line.output = nullptr;
        line.silent = true;
    }
}

void FinishDigits() {
    const std::lock_guard<std::mutex> guard(line.lock);
    if (line.output != nullptr) ToneOutputClose(line.output);
    line.output = nullptr;
    line.silent = false;
}

}
