#include "recording_listener.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "alsa_probe.h"
#include "alsa_worker.h"
#include "tonescan.h"
#include "tool.h"

namespace dtmftools {
namespace {

constexpr int kRate = 8000;
// Reads of 20 ms; a wait for them gives up at this many milliseconds so
// that a signal or the end of the time is seen at once.
constexpr snd_pcm_uframes_t kReadFrames = kRate / 50;
constexpr int kWaitMs = 100;
// A device that delivers nothing for this long has stopped (a frozen or
// vanished sound server).
constexpr double kStallSeconds = 3.0;
// A sound server's plugin waits for the server's answer to an open or a
// close without a bound; a frozen server must not hang the tool.
constexpr std::chrono::milliseconds kOpenBound{3000};
constexpr std::chrono::milliseconds kCloseBound{800};

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { alsaworker::BoundedClose(pcm, kCloseBound); }
};
struct DetectorCloser {
    void operator()(tonescan_detector* detector) const { tonescan_detector_destroy(detector); }
};

std::string Seconds(int64_t frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(frames) / kRate);
    return text;
}

std::string PressLine(const tonescan_press& press, bool json) {
    if (json) {
        // Appended rather than "{" + ...: GCC 12 warns falsely (-Wrestrict) on that at -O3.
        return std::string("{")
            .append(JsonPressMembers(Seconds(press.start), press.key))
            .append(",\"end\":")
            .append(Seconds(press.end))
            .append("}\n");
    }
    return Seconds(press.start) + ' ' + press.key + ' ' + Seconds(press.end) + '\n';
}

void Print(tonescan_detector* detector, bool json) {
    tonescan_press presses[16];
    for (std::size_t n; (n = tonescan_detector_take(detector, presses, 16)) > 0;) {
        for (std::size_t i = 0; i < n; ++i) Output(PressLine(presses[i], json));
    }
}

int OpenAndStart(snd_pcm_t*& pcm, const alsaworker::CallData& data) {
    int error = snd_pcm_open(&pcm, data.text, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (error >= 0) {
        error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1, 200000);
    }
    if (error >= 0) error = snd_pcm_start(pcm);
    if (error < 0 && pcm != nullptr) {
        snd_pcm_close(pcm);
        pcm = nullptr;
    }
    return error;
}

// Opens the PCM for 16-bit mono capture at 8000/s, not blocking; null after
// saying why.
snd_pcm_t* OpenCapture(const std::string& device) {
    snd_pcm_t* pcm = nullptr;
    alsaworker::CallData data;
    data.text = device.c_str();
    const int error = alsaworker::BoundedCall(pcm, OpenAndStart, data, kOpenBound);
    if (error < 0) {
        std::string why = error == -ETIMEDOUT ? "the sound server did not answer within 3 s (timed out)" : "";
        if (why.empty()) why = DeviceProblem(device, Direction::kCapture);
        if (why.empty()) why = snd_strerror(error);
        Complain("cannot capture from \"" + device + "\": " + why);
        return nullptr;
    }
    return pcm;
}

}

int ListenForRecordings(const RecordingListen& listen) {
    // alsa-lib speaks to stderr for itself; the tool says what went wrong.
    const alsaworker::AlsaQuietScope quiet;
    const std::unique_ptr<snd_pcm_t, PcmCloser> pcm(OpenCapture(listen.device));
    if (!pcm) return 1;
    const tonescan_spec spec = TONESCAN_SPEC_INIT(kRate, 1);
    int error = 0;
    const std::unique_ptr<tonescan_detector, DetectorCloser> detector(tonescan_detector_create(&spec, &error));
    if (!detector) {
        Complain(std::string("cannot make a detector: ") + tonescan_strerror(error));
        return 1;
    }
    std::vector<pollfd> fds(static_cast<std::size_t>(snd_pcm_poll_descriptors_count(pcm.get())));
    snd_pcm_poll_descriptors(pcm.get(), fds.data(), static_cast<unsigned>(fds.size()));
    std::vector<int16_t> frames(kReadFrames);
    int64_t heard = 0;
    const auto start = std::chrono::steady_clock::now();
    auto last_audio = start;
    int status = 0;
    while (!*listen.stop) {
        const auto now = std::chrono::steady_clock::now();
        if (listen.seconds > 0 && std::chrono::duration<double>(now - start).count() >= listen.seconds) break;
        if (std::chrono::duration<double>(now - last_audio).count() > kStallSeconds) {
            Complain("capture stopped delivering audio: nothing for " + std::to_string(static_cast<int>(kStallSeconds)) +
                     " s after " + Seconds(heard) + " s of audio");
            status = 1;
            break;
        }
        const snd_pcm_sframes_t got = snd_pcm_readi(pcm.get(), frames.data(), kReadFrames);
        if (got == -EAGAIN) {
            poll(fds.data(), fds.size(), kWaitMs);
            continue;
        }
        if (got < 0) {
            // An overrun loses audio but not the stream: start again.
            if (snd_pcm_recover(pcm.get(), static_cast<int>(got), 1) >= 0 && snd_pcm_start(pcm.get()) >= 0) continue;
            Complain(std::string("capture failed: ") + snd_strerror(static_cast<int>(got)));
            status = 1;
            break;
        }
        last_audio = std::chrono::steady_clock::now();
        heard += got;
        tonescan_detector_feed_i16(detector.get(), frames.data(), static_cast<std::size_t>(got), nullptr);
        Print(detector.get(), listen.json);
    }
    tonescan_detector_finish(detector.get());
    Print(detector.get(), listen.json);
    return status;
}

}
