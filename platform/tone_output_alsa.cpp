// The tone phone's output on ALSA "default" playback, or the PCM named by
// TONEDIAL_PLAYBACK_DEVICE when that is set.
//
// Every call on the PCM goes through alsaworker::BoundedCall: a sound server
// that is frozen would hold the open, a write or the drain for ever. A write
// that makes no progress for kStallBound fails the device, which ends the
// dial's sound as any failed write does.
#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdlib>
#include <new>

#include "alsa_worker.h"
#include "tone_output.h"

namespace tonedial {

namespace {

constexpr unsigned kLatencyUs = 100000;
// A server connects and sets up a stream within this, even on a busy machine.
constexpr std::chrono::milliseconds kOpenBound{3000};
constexpr std::chrono::milliseconds kStallBound{2000};

std::chrono::milliseconds PlayingTime(std::size_t frames) {
    return std::chrono::milliseconds(frames * 1000 / kToneRate);
}

}

struct ToneOutput {
    snd_pcm_t* pcm = nullptr;
};

ToneOutput* ToneOutputOpen() {
    const char* name = std::getenv("TONEDIAL_PLAYBACK_DEVICE");
    alsaworker::CallData device;
    device.text = name != nullptr && *name != '\0' ? name : "default";
    snd_pcm_t* pcm = nullptr;
    const int opened = alsaworker::BoundedCall(
        pcm,
        [](snd_pcm_t*& opening, const alsaworker::CallData& wanted) {
            const int error = snd_pcm_open(&opening, wanted.text, SND_PCM_STREAM_PLAYBACK, 0);
            if (error < 0) {
                opening = nullptr;
                return error;
            }
            return snd_pcm_set_params(opening, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kToneRate, 1,
                                      kLatencyUs);
        },
        device, kOpenBound);
    if (opened < 0) {
        alsaworker::BoundedClose(pcm, kStallBound);
        return nullptr;
    }
    auto* output = new (std::nothrow) ToneOutput{pcm};
    if (output == nullptr) alsaworker::BoundedClose(pcm, kStallBound);
    return output;
}

bool ToneOutputPlay(ToneOutput* output, const int16_t* frames, std::size_t count) {
    if (output->pcm == nullptr) return false;
    // The call plays its own copy: a write left behind may still read it.
    alsaworker::CallData tones;
    tones.frames = frames;
    tones.count = count;
    const int result = alsaworker::BoundedCall(
        output->pcm,
        [](snd_pcm_t*& pcm, const alsaworker::CallData& played) {
            const int16_t* next = played.frames;
            auto left = static_cast<snd_pcm_uframes_t>(played.count);
            while (left > 0) {
                const snd_pcm_sframes_t written = snd_pcm_writei(pcm, next, left);
                if (written < 0) {
                    // An underrun after a slow host restarts the stream; anything else ends the dial.
                    const int recovered = snd_pcm_recover(pcm, static_cast<int>(written), 1);
                    if (recovered < 0) return recovered;
                    continue;
                }
                next += written;
                left -= static_cast<snd_pcm_uframes_t>(written);
            }
            return 0;
        },
        tones, PlayingTime(count) + kStallBound);
    return result == 0;
}

void ToneOutputClose(ToneOutput* output) {
    if (output->pcm != nullptr) {
        alsaworker::BoundedCall(
            output->pcm, [](snd_pcm_t*& pcm, const alsaworker::CallData&) { return snd_pcm_drain(pcm); },
            PlayingTime(kToneRate * kLatencyUs / 1000000) + kStallBound);
        alsaworker::BoundedClose(output->pcm, kStallBound);
    }
    delete output;
}

}
