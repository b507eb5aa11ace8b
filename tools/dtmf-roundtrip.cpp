// dtmf-roundtrip [DIGITS...]: listens with libtonewatch while it dials each
// DIGITS string with libtonedial, then prints what was sent and what was
// heard. Exits 0 only when every key sent was heard, once and in order.
// Meant for a loopback where playback reaches capture (a private PulseAudio
// null sink and its monitor, see scripts/demo).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alsa_probe.h"
#include "capture_start.h"
#include "command_line.h"
#include "tonedial.h"
#include "tonewatch.h"
#include "tool.h"

namespace {

using Clock = std::chrono::steady_clock;

// Capture runs behind playback by the audio server's buffering; keys still
// arrive this long after the last tone has been played.
constexpr auto kSettle = std::chrono::milliseconds(800);
constexpr auto kPoll = std::chrono::milliseconds(20);

constexpr const char* kUsage =
    "Usage: dtmf-roundtrip [OPTION]... [DIGITS]...\n"
    "Listen through libtonewatch while dialling each DIGITS string (ASCII) through\n"
    "libtonedial, then print what was sent and what was heard. Without DIGITS it\n"
    "dials \"0123456789*#ABCD\" and \"1122#\". Meant for a loopback where playback\n"
    "reaches capture, such as the private PulseAudio server of scripts/demo.\n"
    "DIGITS starting with '-' follow \"--\".\n"
    "\n"
    "Options:\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "Environment:\n"
    "  TONEWATCH_CAPTURE_DEVICE   the ALSA PCM to listen on (default: \"default\")\n"
    "  TONEDIAL_PLAYBACK_DEVICE   the ALSA PCM to dial on (default: \"default\")\n"
    "\n"
    "Exit status:\n"
    "  0 when every key was heard once and in order; 1 when one was not, or a\n"
    "  device could not be used; 2 for a usage error.\n";

std::string Device(const char* variable) {
    const char* name = std::getenv(variable);
    return name != nullptr && *name != '\0' ? name : "default";
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

// The dials the command line asks for.
std::vector<std::string> ParseOptions(int argc, char** argv) {
    std::vector<std::string> dials = dtmftools::ParseCommandLine(argc, argv, kUsage, {});
    if (dials.empty()) dials = {"0123456789*#ABCD", "1122#"};
    return dials;
}

// Checks playback and starts capture; false after saying why one cannot be
// used.
bool StartDevices() {
    const std::string playback = Device("TONEDIAL_PLAYBACK_DEVICE");
    if (const std::string why = dtmftools::DeviceProblem(playback, dtmftools::Direction::kPlayback); !why.empty()) {
        dtmftools::Complain("cannot play on \"" + playback + "\": " + why);
        return false;
    }
    const int32_t code = PhoneDTMFCheckStart();
    if (code == TONEWATCH_RUNNING) return true;
    PhoneDTMFCheckStop();
    const std::string capture = Device("TONEWATCH_CAPTURE_DEVICE");
    dtmftools::ComplainCaptureStart(code, "\"" + capture + "\"",
                                    dtmftools::DeviceProblem(capture, dtmftools::Direction::kCapture));
    return false;
}

struct Heard {
    std::vector<std::string> keys;  // per dial
    int32_t blocks;
    double seconds;
};

// Dials each string while a thread fetches the keys heard, and stops capture.
Heard DialAndListen(const std::vector<std::string>& dials) {
    std::mutex mutex;
    Heard heard{std::vector<std::string>(dials.size()), 0, 0.0};
    std::size_t current = 0;
    std::atomic<bool> listening{true};
    std::thread poller([&] {
        while (listening.load()) {
            const char16_t* key = PhoneDTMFReturnChar();
            if (key[0] != 0) {
                std::lock_guard lock(mutex);
                heard.keys[current] += static_cast<char>(key[0]);
            }
            std::this_thread::sleep_for(kPoll);
        }
    });

    const auto start = Clock::now();
    for (std::size_t i = 0; i < dials.size(); ++i) {
        // Each dial opens a new playback stream, and a sound server may drop
        // the first period of a stream that starts while the sink is being
        // recorded (a null sink rewinds what it had rendered): a leading
        // pause unit makes that period silence rather than the first key.
        const std::u16string units = u" " + std::u16string(dials[i].begin(), dials[i].end());
        PhoneDTMF(units.c_str());
        std::this_thread::sleep_for(kSettle);
        std::lock_guard lock(mutex);
        current = std::min(i + 1, dials.size() - 1);
    }
    listening = false;
    poller.join();
    heard.blocks = PhoneDTMFCheckStop();
    heard.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return heard;
}

// Prints each dial beside what was heard, and the blocks analysed; true when
// every key was heard once and in order.
bool Report(const std::vector<std::string>& dials, const Heard& heard) {
    bool all_heard = true;
    for (std::size_t i = 0; i < dials.size(); ++i) {
        const bool match = heard.keys[i] == ExpectedKeys(dials[i]);
        all_heard = all_heard && match;
        const auto column = [](std::string text) {
            if (text.size() < 20) text.resize(20, ' ');
            return text;
        };
        dtmftools::Output("sent:  " + column(dials[i]) + " heard: " + column(heard.keys[i]) + " " +
                          (match ? "ok" : "MISMATCH") + "\n");
    }
    char summary[96];
    std::snprintf(summary, sizeof summary, "%d blocks of 62.5 ms analysed in %.1f s\n", static_cast<int>(heard.blocks),
                  heard.seconds);
    dtmftools::Output(summary);
    return all_heard;
}

}

int main(int argc, char** argv) {
    dtmftools::SetProgramName("dtmf-roundtrip");
    dtmftools::GuardStandardDescriptors();
    const std::vector<std::string> dials = ParseOptions(argc, argv);
    if (!StartDevices()) return 1;
    const bool all_heard = Report(dials, DialAndListen(dials));
    return dtmftools::ExitStatus(all_heard ? 0 : 1);
}
