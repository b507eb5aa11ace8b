// dtmf-roundtrip [DIGITS...]: listens with libtonewatch while it dials each
// DIGITS string with libtonedial, then prints what was sent and what was
// heard. Exits 0 only when every key sent was heard, once and in order.
// Meant for a loopback where playback reaches capture (a private PulseAudio
// null sink and its monitor, see scripts/demo).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alsa_probe.h"
#include "tonedial.h"
#include "tonewatch.h"

namespace {

using Clock = std::chrono::steady_clock;

// Capture runs behind playback by the audio server's buffering; keys still
// arrive this long after the last tone has been played.
constexpr auto kSettle = std::chrono::milliseconds(800);
// An idle audio server can take this long to deliver the first block; a tone
// played before that is never captured.
constexpr auto kWarmUp = std::chrono::milliseconds(1500);
constexpr auto kPoll = std::chrono::milliseconds(20);

const char* StartFailure(int32_t code) {
    switch (code) {
        case TONEWATCH_OPEN_FAILED: return "could not open the capture device";
        case TONEWATCH_QUEUE_FAILED: return "could not queue the capture buffer";
        case TONEWATCH_START_FAILED: return "could not start capture";
        default: return "unknown failure";
    }
}

// The keys a dial of `digits` should produce: DTMF characters, upper case.
std::string ExpectedKeys(const std::string& digits) {
    std::string keys;
    for (char c : digits) {
        if (c >= 'a' && c <= 'd') c = static_cast<char>(c - 'a' + 'A');
        if (std::strchr("0123456789*#ABCD", c) != nullptr && c != '\0') keys += c;
    }
    return keys;
}

}

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts("usage: dtmf-roundtrip [DIGITS...]\n"
                  "Listens on the default capture device while dialling each DIGITS string\n"
                  "(ASCII) on the default playback device, then prints what was sent and\n"
                  "heard. Exits 0 when every key was heard once, in order. Without\n"
                  "arguments it dials \"0123456789*#ABCD\" and \"1122#\".");
        return 0;
    }
    std::vector<std::string> dials;
    for (int i = 1; i < argc; ++i) dials.emplace_back(argv[i]);
    if (dials.empty()) dials = {"0123456789*#ABCD", "1122#"};

    const std::string why = dtmftools::AlsaOpenError("default", dtmftools::AlsaDirection::kPlayback, 8000);
    if (!why.empty()) {
        std::fprintf(stderr, "dtmf-roundtrip: no playback device: %s\n", why.c_str());
        return 1;
    }
    const int32_t code = PhoneDTMFCheckStart();
    if (code != TONEWATCH_RUNNING) {
        std::fprintf(stderr, "dtmf-roundtrip: start failed with code %d: %s\n", code, StartFailure(code));
        PhoneDTMFCheckStop();
        return 1;
    }

    std::mutex mutex;
    std::vector<std::string> heard(dials.size());
    std::size_t current = 0;
    std::atomic<bool> listening{true};
    std::thread poller([&] {
        while (listening.load()) {
            const char16_t* key = PhoneDTMFReturnChar();
            if (key[0] != 0) {
                std::lock_guard lock(mutex);
                heard[current] += static_cast<char>(key[0]);
            }
            std::this_thread::sleep_for(kPoll);
        }
    });

    const auto start = Clock::now();
    std::this_thread::sleep_for(kWarmUp);
    for (std::size_t i = 0; i < dials.size(); ++i) {
        const std::u16string units(dials[i].begin(), dials[i].end());
        PhoneDTMF(units.c_str());
        std::this_thread::sleep_for(kSettle);
        std::lock_guard lock(mutex);
        current = std::min(i + 1, dials.size() - 1);
    }
    listening = false;
    poller.join();
    const int32_t blocks = PhoneDTMFCheckStop();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    bool all_heard = true;
    for (std::size_t i = 0; i < dials.size(); ++i) {
        const bool match = heard[i] == ExpectedKeys(dials[i]);
        all_heard = all_heard && match;
        std::printf("sent:  %-20s heard: %-20s %s\n", dials[i].c_str(), heard[i].c_str(), match ? "ok" : "MISMATCH");
    }
    std::printf("%d blocks of 62.5 ms analysed in %.1f s\n", blocks, seconds);
    return all_heard ? 0 : 1;
}
