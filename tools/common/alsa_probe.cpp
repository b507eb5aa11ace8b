#include "alsa_probe.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>

#include "tool.h"

namespace dtmftools {
namespace {

struct Messages {
    std::mutex mutex;
    std::set<std::string> seen;
    int count = 0;
};

// Never destroyed: the libraries may still make alsa-lib speak while the
// process exits, after static objects are gone.
Messages& TheMessages() {
    static auto* messages = new Messages;
    return *messages;
}

// alsa-lib calls this on whichever thread meets the error, the libraries'
// capture thread included.
__attribute__((format(printf, 5, 6))) void AlsaMessage(const char*, int, const char*, int error, const char* format,
                                                        ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::string message = text;
    message.erase(message.find_last_not_of(" \n") + 1);
    if (error != 0) message += std::string(": ") + snd_strerror(error);
    Messages& messages = TheMessages();
    std::lock_guard lock(messages.mutex);
    ++messages.count;
    if (!messages.seen.insert(message).second) return;
    std::fprintf(stderr, "%s: ALSA: %s\n", ProgramName(), message.c_str());
}

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};

}

void RouteAlsaMessages() {
    TheMessages();
    snd_lib_error_set_handler(AlsaMessage);
}

int AlsaMessageCount() {
    Messages& messages = TheMessages();
    std::lock_guard lock(messages.mutex);
    return messages.count;
}

std::string DeviceProblem(const std::string& name, Direction direction) {
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

}
