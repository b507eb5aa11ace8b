// dtmf-listen: listens to a capture device through libtonewatch and prints
// each key press with the time since the start, as a host program would:
// start, poll every 60 ms, stop. On Windows it listens through tonewatch.dll
// to the preferred winmm device, which it cannot choose.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include "winmm_probe.h"
#else
#include "alsa_probe.h"
#include "recording_listener.h"
#endif
#include "capture_start.h"
#include "command_line.h"
#include "tool.h"
#include "tonewatch.h"

namespace {

constexpr const char* kUsage =
    "Usage: dtmf-listen [OPTION]...\n"
#if defined(_WIN32)
    "Listen to the preferred winmm capture device through tonewatch.dll and print\n"
    "each DTMF key press (0-9, *, #, A-D) with the seconds since the start, e.g.\n"
    "\"1.250 5\", until Ctrl-C or the time given with --seconds; then print the\n"
    "number of 62.5 ms blocks analysed (\"blocks: 96\").\n"
#else
    "Listen to an ALSA capture device through libtonewatch and print each DTMF\n"
    "key press (0-9, *, #, A-D) with the seconds since the start, e.g. \"1.250 5\",\n"
    "until Ctrl-C, SIGTERM or the time given with --seconds; then print the number\n"
    "of 62.5 ms blocks analysed (\"blocks: 96\").\n"
#endif
    "\n"
    "Options:\n"
#if !defined(_WIN32)
    "  -D, --device=NAME      capture from the ALSA PCM NAME (default: \"default\",\n"
    "                         or TONEWATCH_CAPTURE_DEVICE)\n"
#endif
    "  -d, --seconds=N        stop after N seconds\n"
#if !defined(_WIN32)
    "      --detector=NAME    which detector listens (default: library):\n"
    "                           library    libtonewatch, as a host program hears\n"
    "                           recording  libtonescan's recording detector on\n"
    "                                      8000/s audio captured by dtmf-listen\n"
    "                                      itself: keys down to 40 ms, each\n"
    "                                      printed when it ends, with its start\n"
    "                                      and end (\"1.250 5 1.400\")\n"
#endif
    "      --json             print JSON lines instead: {\"time\",\"key\"} per press,\n"
    "                         the same records as dtmf-scan's, and {\"blocks\"}\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "Detection:\n"
    "  Audio is captured at 4000 samples/s and analysed in blocks of 250 samples\n"
    "  (62.5 ms). A press is reported in the first block in which its key is\n"
    "  found; the next press needs a block without a key in between.\n"
    "  Tones and pauses need at least 125 ms each; shorter ones can be missed.\n"
    "  Each of the two tones must peak between about -22 dBFS and -4 dBFS.\n"
#if !defined(_WIN32)
    "\n"
    "Environment:\n"
    "  TONEWATCH_CAPTURE_DEVICE   the ALSA PCM libtonewatch captures from; -D sets it\n"
#endif
    "\n"
    "Exit status:\n"
    "  0 when listening ran to its end; 1 when capture could not start (the\n"
    "  reason is given; a sound server that does not answer is given up on within\n"
    "  a few seconds), stopped delivering audio (the device or sound server gone\n"
    "  or frozen: found when listening ends, from fewer blocks than the time\n"
    "  allows) or the output could not be written; 2 for a usage error.\n";

constexpr double kBlockSeconds = 0.0625;
constexpr double kStartSeconds = 3.0;
// The share of the wall clock that a live device may fall short by. On
// Windows the one capture buffer also misses what arrives between its
// hand-back and its re-queue: about a tenth of the audio under Wine.
#if defined(_WIN32)
constexpr double kShortfall = 0.25;
#else
constexpr double kShortfall = 0.1;
#endif

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

// The device as a message names it, and why it cannot capture, if it can tell.
#if defined(_WIN32)
std::string CaptureDevice() { return "the preferred winmm device"; }

std::string CaptureProblem() { return dtmftools::DeviceProblem(dtmftools::Direction::kCapture); }
#else
std::string CaptureDevice() {
    const char* name = std::getenv("TONEWATCH_CAPTURE_DEVICE");
    return std::string("\"") + (name != nullptr && *name != '\0' ? name : "default") + "\"";
}

std::string CaptureProblem() {
    const char* name = std::getenv("TONEWATCH_CAPTURE_DEVICE");
    return dtmftools::DeviceProblem(name != nullptr && *name != '\0' ? name : "default", dtmftools::Direction::kCapture);
}
#endif

std::string PressLine(bool json, double seconds, char key) {
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", seconds);
    // Appended rather than "{" + ...: GCC 12 warns falsely (-Wrestrict) on that at -O3.
    if (json) return std::string("{").append(dtmftools::JsonPressMembers(time, key)).append("}\n");
    return std::string(time) + ' ' + key + '\n';
}

// What the command line asks for.
struct ListenOptions {
    double seconds = 0;  // 0: until a signal
    bool json = false;
    bool recording = false;
};

double Seconds(const char* value) {
    char* end = nullptr;
    const double seconds = std::strtod(value, &end);
    if (*end != '\0' || !(seconds > 0) || seconds > 1e9) {
        dtmftools::UsageError(std::string("--seconds needs a positive number, not '") + value + "'");
    }
    return seconds;
}

ListenOptions ParseOptions(int argc, char** argv) {
    ListenOptions options;
    const std::vector<dtmftools::Option> own = {
#if !defined(_WIN32)
        {"device", 'D', true,
         [](const char* value) {
             if (*value == '\0') dtmftools::UsageError("--device needs a PCM name");
             setenv("TONEWATCH_CAPTURE_DEVICE", value, 1);
         }},
#endif
        {"seconds", 'd', true, [&](const char* value) { options.seconds = Seconds(value); }},
#if !defined(_WIN32)
        {"detector", 0, true,
         [&](const char* value) {
             options.recording = dtmftools::OneOf("--detector", value, {"library", "recording"}) == 1;
         }},
#endif
        {"json", 0, false, [&](const char*) { options.json = true; }},
    };
    dtmftools::ParseCommandLine(argc, argv, kUsage, own, {0, 0, ""});
    return options;
}

// Keys appear as they are heard, even through a pipe. Windows' C runtime
// buffers fully when asked for lines; each line is one write anyway.
void WriteEachLine() {
#if defined(_WIN32)
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
}

#if !defined(_WIN32)
int ListenWithRecordingDetector(const ListenOptions& options) {
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    WriteEachLine();
    const char* name = std::getenv("TONEWATCH_CAPTURE_DEVICE");
    const int status = dtmftools::ListenForRecordings(
        {name != nullptr && *name != '\0' ? name : "default", options.seconds, options.json, &stop_requested});
    return dtmftools::ExitStatus(status);
}
#endif

// A signal before listening begins ends the tool at once (the start may wait
// a few seconds for a sound server that does not answer); once it listens, a
// signal ends listening as the time given would. False after saying why
// capture could not start.
bool StartListening() {
    const int32_t started = PhoneDTMFCheckStart();
    if (started == TONEWATCH_RUNNING) {
        std::signal(SIGINT, RequestStop);
        std::signal(SIGTERM, RequestStop);
        return true;
    }
    PhoneDTMFCheckStop();
    dtmftools::ComplainCaptureStart(started, CaptureDevice(), CaptureProblem());
    return false;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The library counts blocks but cannot be asked mid-run, so a stall is found
// here: a device clocks blocks at its own pace, but a live one does not fall
// this far behind the wall clock unless it stopped. An idle audio server
// takes up to about 1.5 s to deliver its first block, and runs within a few
// per cent of its rate. True after saying so.
bool Stalled(int32_t blocks, double elapsed) {
    const double heard = blocks * kBlockSeconds;
    if (heard >= elapsed - kStartSeconds - kShortfall * elapsed) return false;
    char text[160];
    std::snprintf(text, sizeof text,
                  "capture stopped delivering audio: %.1f s of audio (%d blocks) in %.1f s of listening", heard,
                  static_cast<int>(blocks), elapsed);
    dtmftools::Complain(text);
    return true;
}

// Listens as a host program would: start, fetch every 60 ms, stop.
int ListenThroughLibrary(const ListenOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    if (!StartListening()) return 1;
    WriteEachLine();
    double elapsed = 0.0;
    while (!stop_requested) {
        elapsed = SecondsSince(start);
        if (options.seconds > 0 && elapsed >= options.seconds) break;
        const char16_t* key = PhoneDTMFReturnChar();
        if (key[0] != 0) dtmftools::Output(PressLine(options.json, elapsed, static_cast<char>(key[0])));
        // Presses come at least two 62.5 ms blocks apart, so a fetch every
        // 60 ms misses none; fetching more often only costs wakeups.
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    const int32_t blocks = PhoneDTMFCheckStop();
    elapsed = SecondsSince(start);
    const char16_t* last = PhoneDTMFReturnChar();
    if (last[0] != 0) dtmftools::Output(PressLine(options.json, elapsed, static_cast<char>(last[0])));
    const std::string count = std::to_string(blocks);
    dtmftools::Output(options.json ? "{\"blocks\":" + count + "}\n" : "blocks: " + count + "\n");
    const bool stalled = Stalled(blocks, elapsed);
    return dtmftools::ExitStatus(stalled ? 1 : 0);
}

}

int main(int argc, char** argv) {
    dtmftools::SetProgramName("dtmf-listen");
    dtmftools::GuardStandardDescriptors();
    const ListenOptions options = ParseOptions(argc, argv);
#if !defined(_WIN32)
    if (options.recording) return ListenWithRecordingDetector(options);
#endif
    return ListenThroughLibrary(options);
}
