// dtmf-dial DIGITS: dials a digit string through libtonedial and says what it
// sent, or why nothing could be heard. On Windows it dials through
// tonedial.dll on the preferred winmm device, and writes no files.
#include <getopt.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cuchar>
#include <cwchar>
#include <string>

#if defined(_WIN32)
#include "winmm_probe.h"
#else
#include "alsa_probe.h"
#endif
#include "tonedial.h"
#include "tool.h"

namespace {

constexpr const char* kUsage =
    "Usage: dtmf-dial [OPTION]... DIGITS\n"
    "Dial DIGITS as DTMF tones through libtonedial: each of 0-9 * # A-D (a-d too)\n"
    "sounds for 150 ms, then 150 ms of silence; any other character is 300 ms of\n"
    "silence. The tones are 16-bit mono at 8000 samples/s, low tone -10 dBFS,\n"
    "high tone -8.5 dBFS. DIGITS starting with '-' follow \"--\".\n"
#if defined(_WIN32)
    "The tones play on the preferred winmm playback device, through tonedial.dll.\n"
#endif
    "\n"
    "Options:\n"
#if !defined(_WIN32)
    "  -D, --device=NAME      play on the ALSA PCM NAME (default: \"default\", or\n"
    "                         TONEDIAL_PLAYBACK_DEVICE)\n"
    "  -o, --output=FILE      write the tones to FILE as WAV instead of playing them\n"
#endif
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
#if !defined(_WIN32)
    "Environment:\n"
    "  TONEDIAL_PLAYBACK_DEVICE   the ALSA PCM libtonedial plays on; -D and -o set it\n"
    "\n"
#endif
    "Exit status:\n"
    "  0 when the digits were dialled; 1 when the device could not play them or the\n"
    "  file could not be written; 2 for a usage error.\n";

#if !defined(_WIN32)
// The tone phone renders every unit as 300 ms at 8000 frames/s, 2 bytes a
// frame, after a 44-byte WAV header.
constexpr off_t kUnitBytes = 4800;
constexpr off_t kWavHeaderBytes = 44;
#endif

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

#if defined(_WIN32)
// The library dials silently without a device, so ask the device first.
int Dial(const std::u16string& digits, const char* digits_argument) {
    if (const std::string why = dtmftools::DeviceProblem(dtmftools::Direction::kPlayback); !why.empty()) {
        dtmftools::Complain("cannot play on the preferred winmm device: " + why);
        return 1;
    }
    const int32_t result = PhoneDTMF(digits.c_str());
    if (result != TONEDIAL_SENT) {
        dtmftools::Complain("PhoneDTMF returned " + std::to_string(result));
        return 1;
    }
    dtmftools::Output(std::string("sent: ") + digits_argument + "\n");
    return dtmftools::FinishOutput() ? 0 : 1;
}
#else
std::string PlaybackDevice() {
    const char* name = std::getenv("TONEDIAL_PLAYBACK_DEVICE");
    return name != nullptr && *name != '\0' ? name : "default";
}
#endif

}

int main(int argc, char** argv) {
    dtmftools::SetProgramName("dtmf-dial");
    dtmftools::GuardStandardDescriptors();
    enum LongOnly { kVersion = 256 };
    static const option kOptions[] = {
#if !defined(_WIN32)
        {"device", required_argument, nullptr, 'D'},
        {"output", required_argument, nullptr, 'o'},
#endif
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    const char* device = nullptr;
    const char* output = nullptr;
    opterr = 0;
#if defined(_WIN32)
    const char* const kShortOptions = ":h";
#else
    const char* const kShortOptions = ":D:o:h";
#endif
    for (int c; (c = getopt_long(argc, argv, kShortOptions, kOptions, nullptr)) != -1;) {
        switch (c) {
            case 'D': device = optarg; break;
            case 'o': output = optarg; break;
            case 'h':
                dtmftools::Output(kUsage);
                return dtmftools::FinishOutput() ? 0 : 1;
            case kVersion:
                dtmftools::PrintVersion();
                return dtmftools::FinishOutput() ? 0 : 1;
            default: dtmftools::OptionError(c, argv);
        }
    }
    if (optind == argc) dtmftools::UsageError("no DIGITS to dial");
    if (argc - optind > 1) dtmftools::UsageError(std::string("unexpected argument '") + argv[optind + 1] + "'");
    if (device != nullptr && output != nullptr) dtmftools::UsageError("--device and --output exclude each other");
    if (device != nullptr && *device == '\0') dtmftools::UsageError("--device needs a PCM name");
    if (output != nullptr && *output == '\0') dtmftools::UsageError("--output needs a file name");
    const char* digits_argument = argv[optind];
    std::setlocale(LC_CTYPE, "");
    std::u16string digits;
    if (!ToUtf16(digits_argument, digits)) dtmftools::UsageError("DIGITS is not valid text in this locale");
#if defined(_WIN32)
    return Dial(digits, digits_argument);
#else

    dtmftools::RouteAlsaMessages();
    // A file is written by ALSA's file plugin behind the tone phone. The tool
    // creates it, so that it gets the usual permissions and a name that ALSA's
    // configuration syntax could mangle never reaches ALSA.
    int file = -1;
    if (output != nullptr) {
        file = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (file < 0) {
            dtmftools::Complain(std::string("cannot create '") + output + "': " + std::strerror(errno));
            return 1;
        }
        const std::string pcm = "file:{FILE \"/proc/self/fd/" + std::to_string(file) + "\" FORMAT wav}";
        setenv("TONEDIAL_PLAYBACK_DEVICE", pcm.c_str(), 1);
    } else if (device != nullptr) {
        setenv("TONEDIAL_PLAYBACK_DEVICE", device, 1);
    }
    // The library dials silently without a device, so ask the device first.
    // A file that is not a regular one (a pipe) would receive the question's
    // WAV header as well; it is checked by what is written instead.
    struct stat target {};
    const bool regular_file = file >= 0 && fstat(file, &target) == 0 && S_ISREG(target.st_mode);
    if (file < 0 || regular_file) {
        if (const std::string why = dtmftools::DeviceProblem(PlaybackDevice(), dtmftools::Direction::kPlayback);
            !why.empty()) {
            if (file >= 0) {
                dtmftools::Complain(std::string("cannot write '") + output + "' through ALSA's file plugin: " + why);
            } else {
                dtmftools::Complain("cannot play on \"" + PlaybackDevice() + "\": " + why);
            }
            return 1;
        }
    }
    const int messages_before = dtmftools::AlsaMessageCount();
    const int32_t result = PhoneDTMF(digits.c_str());
    if (result != TONEDIAL_SENT) {
        dtmftools::Complain("PhoneDTMF returned " + std::to_string(result));
        return 1;
    }
    // The phone hangs up quietly on a failed write; alsa-lib's message about
    // it, and a file shorter than the dial, tell.
    if (file >= 0) {
        struct stat written {};
        const off_t expected = kWavHeaderBytes + kUnitBytes * static_cast<off_t>(digits.size());
        const bool complete = dtmftools::AlsaMessageCount() == messages_before && fstat(file, &written) == 0 &&
                              (!regular_file || written.st_size == expected);
        if (close(file) != 0 || !complete) {
            dtmftools::Complain(std::string("could not write '") + output + "'");
            return 1;
        }
    }
    // Not into the audio, when that goes to standard output.
    struct stat out {};
    const bool output_is_file = file >= 0 && fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == target.st_dev &&
                                out.st_ino == target.st_ino;
    if (!output_is_file) dtmftools::Output(std::string("sent: ") + digits_argument + "\n");
    return dtmftools::FinishOutput() ? 0 : 1;
#endif
}
