#include "alsa_probe.h"

#include <alsa/asoundlib.h>

namespace dtmftools {

std::string AlsaOpenError(const char* device, AlsaDirection direction, unsigned rate) {
    constexpr unsigned kLatencyUs = 100000;
    const snd_pcm_stream_t stream =
        direction == AlsaDirection::kCapture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    snd_pcm_t* pcm = nullptr;
    int result = snd_pcm_open(&pcm, device, stream, 0);
    if (result >= 0) {
        result = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, rate, 1,
                                    kLatencyUs);
        snd_pcm_close(pcm);
    }
    return result < 0 ? snd_strerror(result) : "";
}

}
