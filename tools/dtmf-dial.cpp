// dtmf-dial DIGITS: dials a digit string through libtonedial and says what it
// sent, or why nothing could be heard. On Windows it dials through
// tonedial.dll on the preferred winmm device, and writes no files.
#if !defined(_WIN32)
#include <fcntl.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cuchar>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include "winmm_probe.h"
#else
#include "alsa_probe.h"
#endif
#include "command_line.h"
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
#else
    "The dial is watched through ALSA's tee PCM around the device: a character\n"
    "counts as played once the device has taken all of its 300 ms.\n"
#endif
    "\n"
    "Options:\n"
#if !defined(_WIN32)
    "  -D, --device=NAME      play on the ALSA PCM NAME (default: \"default\", or\n"
    "                         TONEDIAL_PLAYBACK_DEVICE)\n"
    "  -o, --output=FILE      write the tones to FILE instead of playing them, as\n"
    "                         WAV, FLAC or Ogg Vorbis by its extension (.wav,\n"
    "                         .flac, .ogg); \"-\" writes WAV to standard output\n"
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
    "  0 when the digits were dialled; 1 when the device could not play them all\n"
#if !defined(_WIN32)
    "  (those not played are named: the device failed, or its sound server did\n"
    "  not answer within 2 s) or the file could not be written; 2 for a usage\n"
    "  error.\n";
#else
    "  or the file could not be written; 2 for a usage error.\n";
#endif

#if !defined(_WIN32)
// The tone phone renders every unit as 300 ms at 8000 frames/s, 2 bytes a
// frame.
constexpr int kRate = 8000;
constexpr off_t kUnitBytes = 4800;
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
    return dtmftools::ExitStatus(0);
}
#else
std::string PlaybackDevice() {
    const char* name = std::getenv("TONEDIAL_PLAYBACK_DEVICE");
    return name != nullptr && *name != '\0' ? name : "default";
}

// UTF-16 units back in the locale's encoding, for messages.
std::string FromUtf16(const std::u16string& units) {
    std::string text;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const char16_t unit : units) {
        const std::size_t length = std::c16rtomb(bytes, unit, &state);
        if (length != static_cast<std::size_t>(-1)) text.append(bytes, length);
    }
    return text;
}

enum class FileFormat { kWav, kFlac, kOgg };

// The format a file's name asks for by its extension; "-" is WAV on stdout.
std::optional<FileFormat> FormatOfName(const std::string& name) {
    if (name == "-") return FileFormat::kWav;
    const std::size_t slash = name.find_last_of('/');
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "wav" || extension == "wave") return FileFormat::kWav;
    if (extension == "flac") return FileFormat::kFlac;
    if (extension == "ogg" || extension == "oga") return FileFormat::kOgg;
    return std::nullopt;
}

// A file in memory that ALSA's file PCM writes through its /proc path.
int MemoryFile(const char* name) { return memfd_create(name, MFD_CLOEXEC); }

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void PutLittleEndian(std::vector<unsigned char>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A canonical 44-byte WAV header for 16-bit mono at 8000/s: the length is
// known, so that it can go down a pipe.
std::vector<unsigned char> WavHeader(uint32_t data_bytes) {
    std::vector<unsigned char> header;
    const auto tag = [&](const char* text) { header.insert(header.end(), text, text + 4); };
    tag("RIFF");
    PutLittleEndian(header, 36 + data_bytes, 4);
    tag("WAVE");
    tag("fmt ");
    PutLittleEndian(header, 16, 4);
    PutLittleEndian(header, 1, 2);
    PutLittleEndian(header, 1, 2);
    PutLittleEndian(header, kRate, 4);
    PutLittleEndian(header, 2 * kRate, 4);
    PutLittleEndian(header, 2, 2);
    PutLittleEndian(header, 16, 2);
    tag("data");
    PutLittleEndian(header, data_bytes, 4);
    return header;
}

std::vector<int16_t> ReadSamples(int fd) {
    struct stat info {};
    std::vector<int16_t> samples;
    if (fstat(fd, &info) != 0) return samples;
    samples.resize(static_cast<std::size_t>(info.st_size) / 2);
    const std::size_t bytes = samples.size() * 2;
    std::size_t got = 0;
    while (got < bytes) {
        const ssize_t n = pread(fd, reinterpret_cast<char*>(samples.data()) + got, bytes - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    samples.resize(got / 2);
    return samples;
}

// Writes `samples` (16-bit mono at 8000/s) to the open `fd` in `format`;
// false with errno's reason, or libsndfile's in `why`.
bool WriteAudio(int fd, FileFormat format, const std::vector<int16_t>& samples, std::string& why) {
    if (format == FileFormat::kWav) {
        const auto bytes = static_cast<uint32_t>(samples.size() * 2);
        const std::vector<unsigned char> header = WavHeader(bytes);
        if (WriteAll(fd, header.data(), header.size()) && WriteAll(fd, samples.data(), bytes)) return true;
        why = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = format == FileFormat::kFlac ? (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) : (SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        why = sf_strerror(nullptr);
        return false;
    }
    const auto count = static_cast<sf_count_t>(samples.size());
    bool written = sf_write_short(file, samples.data(), count) == count;
    if (!written) why = sf_strerror(file);
    if (sf_close(file) != 0 && written) {
        why = "the encoder could not finish the file";
        written = false;
    }
    return written;
}

// Dials into ALSA's file PCM over a null device, writing raw samples into
// memory, and writes them to OUTPUT in its format.
int DialToFile(const std::u16string& digits, const char* digits_argument, const char* output, FileFormat format) {
    const bool to_stdout = std::strcmp(output, "-") == 0;
    // Created first, so that a name that cannot be written fails before the dial.
    const int file = to_stdout ? STDOUT_FILENO : open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const std::string shown = to_stdout ? "standard output" : std::string("'") + output + "'";
    if (file < 0) {
        dtmftools::Complain("cannot create " + shown + ": " + std::strerror(errno));
        return 1;
    }
    const int rendered = MemoryFile("dtmf-dial-render");
    if (rendered < 0) {
        dtmftools::Complain(std::string("cannot make a buffer for the tones: ") + std::strerror(errno));
        return 1;
    }
    // The file's name never reaches ALSA, whose configuration syntax could mangle it.
    const std::string pcm = "file:{FILE \"" + ProcPath(rendered) + "\" FORMAT raw}";
    setenv("TONEDIAL_PLAYBACK_DEVICE", pcm.c_str(), 1);
    if (const std::string why = dtmftools::DeviceProblem(pcm, dtmftools::Direction::kPlayback); !why.empty()) {
        dtmftools::Complain("cannot render the tones through ALSA's file plugin: " + why);
        return 1;
    }
    const int32_t result = PhoneDTMF(digits.c_str());
    if (result != TONEDIAL_SENT) {
        dtmftools::Complain("PhoneDTMF returned " + std::to_string(result));
        return 1;
    }
    const std::vector<int16_t> samples = ReadSamples(rendered);
    close(rendered);
    if (static_cast<off_t>(samples.size() * 2) != kUnitBytes * static_cast<off_t>(digits.size())) {
        dtmftools::Complain("the tones could not be rendered whole for " + shown);
        return 1;
    }
    struct stat target {};
    struct stat out {};
    const bool output_is_stdout = to_stdout || (fstat(file, &target) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                                                out.st_dev == target.st_dev && out.st_ino == target.st_ino);
    std::string why;
    errno = 0;
    bool written = WriteAudio(file, format, samples, why);
    if (!to_stdout && close(file) != 0 && written) {
        why = std::strerror(errno);
        written = false;
    }
    if (!written) {
        dtmftools::Complain("could not write " + shown + ": " + why);
        return 1;
    }
    // Not into the audio, when that goes to standard output.
    if (!output_is_stdout) dtmftools::Output(std::string("sent: ") + digits_argument + "\n");
    return dtmftools::ExitStatus(0);
}

// Dials on the device, watching what it takes: ALSA's tee PCM (alsa.conf's
// "tee") passes the tones on to the device and copies into memory each frame
// the device accepted. A device that fails or stops answering during the dial
// makes the tone phone fall silent, so the copy ends where the sound did.
// Where the configuration has no tee PCM the dial is not watched (opening the
// device again afterwards would tell little, and would empty a file PCM).
int DialOnDevice(const std::u16string& digits, const char* digits_argument) {
    const std::string device = PlaybackDevice();
    const int copy = MemoryFile("dtmf-dial-played");
    std::string tapped;
    if (copy >= 0) {
        tapped = "tee:{SLAVE " + dtmftools::AlsaQuoted(device) + " FILE \"" + ProcPath(copy) + "\" FORMAT raw}";
    }
    std::string why = tapped.empty() ? "" : dtmftools::DeviceProblem(tapped, dtmftools::Direction::kPlayback);
    const bool watched = !tapped.empty() && why.empty();
    if (!watched && why != dtmftools::NoAnswer()) why = dtmftools::DeviceProblem(device, dtmftools::Direction::kPlayback);
    if (!why.empty()) {
        dtmftools::Complain("cannot play on \"" + device + "\": " + why);
        return 1;
    }
    if (watched) setenv("TONEDIAL_PLAYBACK_DEVICE", tapped.c_str(), 1);
    const int32_t result = PhoneDTMF(digits.c_str());
    if (result != TONEDIAL_SENT) {
        dtmftools::Complain("PhoneDTMF returned " + std::to_string(result));
        return 1;
    }
    std::size_t played = digits.size();
    if (watched) {
        // A character counts once its whole 300 ms went to the device: its
        // tone is then out of the device's 100 ms buffer.
        struct stat taken {};
        const off_t bytes = fstat(copy, &taken) == 0 ? taken.st_size : 0;
        played = std::min(digits.size(), static_cast<std::size_t>(bytes / kUnitBytes));
        if (played < digits.size()) why = "the device stopped taking the tones";
    }
    if (copy >= 0) close(copy);
    if (!why.empty()) {
        dtmftools::Complain("the dial on \"" + device + "\" failed (" + why + "): " + std::to_string(played) + " of " +
                            std::to_string(digits.size()) + " characters played; not played: " +
                            FromUtf16(digits.substr(played)));
        return 1;
    }
    dtmftools::Output(std::string("sent: ") + digits_argument + "\n");
    return dtmftools::ExitStatus(0);
}
#endif

// What the command line asks for.
struct DialOptions {
    std::string digits_argument;
    std::u16string digits;
#if !defined(_WIN32)
    const char* device = nullptr;
    const char* output = nullptr;
    FileFormat format = FileFormat::kWav;  // with `output`
#endif
};

DialOptions ParseOptions(int argc, char** argv) {
    const char* device = nullptr;
    const char* output = nullptr;
    const std::vector<dtmftools::Option> own = {
#if !defined(_WIN32)
        {"device", 'D', true, [&](const char* value) { device = value; }},
        {"output", 'o', true, [&](const char* value) { output = value; }},
#endif
    };
    const std::vector<std::string> operands =
        dtmftools::ParseCommandLine(argc, argv, kUsage, own, {1, 1, "no DIGITS to dial"});
    if (device != nullptr && output != nullptr) dtmftools::UsageError("--device and --output exclude each other");
    if (device != nullptr && *device == '\0') dtmftools::UsageError("--device needs a PCM name");
    if (output != nullptr && *output == '\0') dtmftools::UsageError("--output needs a file name");
    DialOptions options{operands[0], {}};
    std::setlocale(LC_CTYPE, "");
    if (!ToUtf16(options.digits_argument.c_str(), options.digits)) {
        dtmftools::UsageError("DIGITS is not valid text in this locale");
    }
#if !defined(_WIN32)
    options.device = device;
    options.output = output;
    if (output != nullptr) {
        const std::optional<FileFormat> format = FormatOfName(output);
        if (!format) {
            dtmftools::UsageError(std::string("cannot tell the format of '") + output +
                                  "': its name must end in .wav, .flac or .ogg (or be - for WAV on standard output)");
        }
        options.format = *format;
    }
#endif
    return options;
}

}

int main(int argc, char** argv) {
    dtmftools::SetProgramName("dtmf-dial");
    dtmftools::GuardStandardDescriptors();
    const DialOptions options = ParseOptions(argc, argv);
#if defined(_WIN32)
    return Dial(options.digits, options.digits_argument.c_str());
#else
    if (options.output != nullptr) {
        return DialToFile(options.digits, options.digits_argument.c_str(), options.output, options.format);
    }
    if (options.device != nullptr) setenv("TONEDIAL_PLAYBACK_DEVICE", options.device, 1);
    return DialOnDevice(options.digits, options.digits_argument.c_str());
#endif
}
