// Listens to the default capture device through libtonewatch and prints each
// key press with the time since the start, as a host program would: start,
// poll every 20 ms, stop.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tonewatch.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: dtmf-listen [--seconds N]\n"
                 "\n"
                 "Listens to the default audio input and prints each DTMF key press with the\n"
                 "seconds since the start (e.g. \"1.250 5\"), until Ctrl-C, SIGTERM or N seconds\n"
                 "have passed; then prints the number of 62.5 ms blocks analysed.\n"
                 "\n"
                 "The input is ALSA's \"default\" capture device, or the one named by\n"
                 "TONEWATCH_CAPTURE_DEVICE.\n");
}

const char* StartFailure(int32_t code) {
    switch (code) {
    case TONEWATCH_OPEN_FAILED:
        return "could not open the capture device";
    case TONEWATCH_QUEUE_FAILED:
        return "could not queue the capture buffer";
    case TONEWATCH_START_FAILED:
        return "could not start capture";
    default:
        return "unknown result";
    }
}

}

int main(int argc, char** argv) {
    double seconds = 0;  // 0: until a signal
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            char* end = nullptr;
            seconds = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(seconds > 0)) {
                std::fprintf(stderr, "dtmf-listen: --seconds needs a positive number, not '%s'\n", argv[i]);
                return 2;
            }
            continue;
        }
        std::fprintf(stderr, "dtmf-listen: unknown option '%s'\n", argv[i]);
        Usage(stderr);
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const auto start = std::chrono::steady_clock::now();
    const int32_t started = PhoneDTMFCheckStart();
    if (started != TONEWATCH_RUNNING) {
        PhoneDTMFCheckStop();
        std::fprintf(stderr, "dtmf-listen: start failed with code %d: %s\n", static_cast<int>(started),
                     StartFailure(started));
        return 1;
    }
    // Keys appear as they are heard, even through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    while (!stop_requested) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (seconds > 0 && elapsed.count() >= seconds) break;
        const char16_t* key = PhoneDTMFReturnChar();
        if (key[0] != 0) std::printf("%.3f %c\n", elapsed.count(), static_cast<char>(key[0]));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int32_t blocks = PhoneDTMFCheckStop();
    const char16_t* last = PhoneDTMFReturnChar();
    if (last[0] != 0) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%.3f %c\n", elapsed.count(), static_cast<char>(last[0]));
    }
    std::printf("blocks: %d\n", static_cast<int>(blocks));
    return 0;
}
