#include "alsa_probe.h"

// alsa-lib's error.h declares snd_lib_error_set_local after its extern "C"
// block has closed.
extern "C" {
#include <alsa/asoundlib.h>
}

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <thread>

namespace dtmftools {
namespace {

void DropMessage(const char*, int, const char*, int, const char*, va_list) {}

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};

std::string Probe(const std::string& name, Direction direction) {
    snd_lib_error_set_local(DropMessage);
    snd_pcm_t* opened = nullptr;
    const bool capture = direction == Direction::kCapture;
    int error = snd_pcm_open(&opened, name.c_str(), capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                             capture ? SND_PCM_NONBLOCK : 0);
    if (error < 0) return std::string("cannot open it: ") + snd_strerror(error);
    const std::unique_ptr<snd_pcm_t, PcmCloser> pcm(opened);
    if (!capture) {
        // The tone phone's own settings.
        error = snd_pcm_set_params(opened, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 8000, 1, 100000);
        if (error < 0) return std::string("it does not play 16-bit mono at 8000/s: ") + snd_strerror(error);
        return {};
    }
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    if ((error = snd_pcm_hw_params_any(opened, params)) < 0 ||
        (error = snd_pcm_hw_params_set_access(opened, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (error = snd_pcm_hw_params_set_format(opened, params, SND_PCM_FORMAT_S16_LE)) < 0 ||
        (error = snd_pcm_hw_params_set_channels(opened, params, 1)) < 0) {
        return std::string("it does not capture 16-bit mono: ") + snd_strerror(error);
    }
    return {};
}

struct Answer {
    std::mutex mutex;
    std::condition_variable given;
    bool done = false;
    std::string problem;
};

}

std::string DeviceProblem(const std::string& name, Direction direction) {
    // The probe's thread may outlive this call: it shares only the answer.
    auto answer = std::make_shared<Answer>();
    std::thread([answer, name, direction] {
        std::string problem = Probe(name, direction);
        std::lock_guard lock(answer->mutex);
        answer->problem = std::move(problem);
        answer->done = true;
        answer->given.notify_all();
    }).detach();
    std::unique_lock lock(answer->mutex);
    if (!answer->given.wait_for(lock, std::chrono::seconds(kProbeSeconds), [&] { return answer->done; })) {
        return NoAnswer();
    }
    return answer->problem;
}

std::string NoAnswer() {
    return "the sound server did not answer within " + std::to_string(kProbeSeconds) + " s (timed out)";
}

std::string AlsaQuoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

}
