// The phone library's Linux stand-in: dials in-band, as a phone on an analogue
// line does, by playing each key's tone pair on ALSA "default" playback, or
// the PCM named by TONEDIAL_PLAYBACK_DEVICE when that is set, 8000 frames/s,
// S16_LE mono. Every unit takes 300 ms:
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
#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>

#include "dtmf_keypad.h"
#include "phone_service.h"

namespace tonedial {
namespace {

constexpr unsigned kRate = 8000;
constexpr unsigned kLatencyUs = 100000;
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
        const double t = 2.0 * std::numbers::pi * i / kRate;
        const double value = low_peak * std::sin(pair->low_hz * t) + high_peak * std::sin(pair->high_hz * t);
        slot[i] = static_cast<int16_t>(std::lround(ramp * value));
    }
}

int OpenPlayback(snd_pcm_t** pcm) {
    *pcm = nullptr;
    const char* name = std::getenv("TONEDIAL_PLAYBACK_DEVICE");
    if (name == nullptr || *name == '\0') name = "default";
    int result = snd_pcm_open(pcm, name, SND_PCM_STREAM_PLAYBACK, 0);
    if (result < 0) return result;
    result = snd_pcm_set_params(*pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1, kLatencyUs);
    if (result < 0) {
        snd_pcm_close(*pcm);
        *pcm = nullptr;
    }
    return result;
}

// The device is opened by the first send of a dial and released by its finish.
// A dial whose device cannot be opened, or breaks, stays silent to its finish
// rather than trying again on every unit.
struct PhoneLine {
    std::mutex lock;
    snd_pcm_t* pcm = nullptr;
    bool silent = false;
};

PhoneLine line;

void Hangup() {
    snd_pcm_close(line.pcm);
    line.pcm = nullptr;
    line.silent = true;
}

void Play(const Slot& slot) {
    const int16_t* frames = slot.data();
    snd_pcm_uframes_t left = slot.size();
    while (left > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(line.pcm, frames, left);
        if (written < 0) {
            // An underrun after a slow host restarts the stream; anything else ends the dial.
            if (snd_pcm_recover(line.pcm, static_cast<int>(written), 1) < 0) {
                Hangup();
                return;
            }
            continue;
        }
        frames += written;
        left -= static_cast<snd_pcm_uframes_t>(written);
    }
}

}

void SendDigit(uint32_t unit) {
    const std::lock_guard<std::mutex> guard(line.lock);
    if (line.pcm == nullptr && !line.silent && OpenPlayback(&line.pcm) < 0) line.silent = true;
    if (line.silent) return;
    Slot slot;
    RenderSlot(FindKey(unit), slot);
    Play(slot);
}

void FinishDigits() {
    const std::lock_guard<std::mutex> guard(line.lock);
    if (line.pcm != nullptr) {
        snd_pcm_drain(line.pcm);
        snd_pcm_close(line.pcm);
        line.pcm = nullptr;
    }
    line.silent = false;
}

}
