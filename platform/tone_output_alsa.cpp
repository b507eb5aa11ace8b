// The tone phone's output on ALSA "default" playback, or the PCM named by
// TONEDIAL_PLAYBACK_DEVICE when that is set.
#include <alsa/asoundlib.h>

#include <cstdlib>
#include <new>

#include "tone_output.h"

namespace tonedial {

namespace {

constexpr unsigned kLatencyUs = 100000;

}

struct ToneOutput {
    snd_pcm_t* pcm = nullptr;
};

ToneOutput* ToneOutputOpen() {
    const char* name = std::getenv("TONEDIAL_PLAYBACK_DEVICE");
    if (name == nullptr || *name == '\0') name = "default";
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, 0) < 0) return nullptr;
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kToneRate, 1, kLatencyUs) < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    auto* output = new (std::nothrow) ToneOutput{pcm};
    if (output == nullptr) snd_pcm_close(pcm);
    return output;
}

bool ToneOutputPlay(ToneOutput* output, const int16_t* frames, std::size_t count) {
    auto left = static_cast<snd_pcm_uframes_t>(count);
    while (left > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(output->pcm, frames, left);
        if (written < 0) {
            // An underrun after a slow host restarts the stream; anything else ends the dial.
            if (snd_pcm_recover(output->pcm, static_cast<int>(written), 1) < 0) return false;
            continue;
        }
        frames += written;
        left -= static_cast<snd_pcm_uframes_t>(written);
    }
    return true;
}

void ToneOutputClose(ToneOutput* output) {
    snd_pcm_drain(output->pcm);
    snd_pcm_close(output->pcm);
    delete output;
}

}
