// dtmf-dial DIGITS: dials a digit string through libtonedial and says what it
// sent, or why nothing could be heard.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cuchar>
#include <cwchar>
#include <string>

#include "alsa_probe.h"
#include "tonedial.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fputs("usage: dtmf-dial DIGITS\n"
               "Dials DIGITS as DTMF tones on the default ALSA playback device, 8000 Hz mono.\n"
               "Each of 0-9 * # A-D (a-d too) sounds for 150 ms, then 150 ms of silence;\n"
               "any other character is 300 ms of silence.\n",
               out);
}

// The argument, in the locale's encoding, as UTF-16; false if it is not valid text there.
bool ToUtf16(const char* text, std::u16string& units) {
    constexpr auto kInvalid = static_cast<std::size_t>(-1);
    constexpr auto kIncomplete = static_cast<std::size_t>(-2);
    constexpr auto kSecondHalf = static_cast<std::size_t>(-3);  // low surrogate, no input used
    const char* const end = text + std::strlen(text);
    std::mbstate_t state{};
    for (;;) {
        char16_t unit;
        const std::size_t used = std::mbrtoc16(&unit, text, static_cast<std::size_t>(end - text), &state);
        if (used == kSecondHalf) {
            units += unit;
            continue;
        }
        if (text == end) return true;
        if (used == kInvalid || used == kIncomplete || used == 0) return false;
        units += unit;
        text += used;
    }
}

}

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc != 2) {
        PrintUsage(stderr);
        return 2;
    }
    std::setlocale(LC_CTYPE, "");
    std::u16string digits;
    if (!ToUtf16(argv[1], digits)) {
        std::fprintf(stderr, "dtmf-dial: DIGITS is not valid text in this locale\n");
        return 2;
    }
    // The library dials silently without a device, so ask the device first.
    const std::string reason = dtmftools::AlsaOpenError("default", dtmftools::AlsaDirection::kPlayback, 8000);
    if (!reason.empty()) {
        std::fprintf(stderr, "dtmf-dial: no playback device: cannot open ALSA \"default\" for playback (%s)\n",
                     reason.c_str());
        return 1;
    }
    const int32_t result = PhoneDTMF(digits.c_str());
    if (result != TONEDIAL_SENT) {
        std::fprintf(stderr, "dtmf-dial: PhoneDTMF returned %d\n", static_cast<int>(result));
        return 1;
    }
    std::printf("sent: %s\n", argv[1]);
    return 0;
}
