#include "header.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "ffmpeg_frames.h"
#include "frames.h"
#include "sources.h"

namespace tonescan {

namespace {

bool HasAt(const std::vector<unsigned char>& bytes, std::size_t at, const char* magic) {
    const std::size_t n = std::strlen(magic);
    return bytes.size() >= at + n && std::memcmp(bytes.data() + at, magic, n) == 0;
}

// Whether the head starts as MPEG audio does: a frame header (not ADTS's,
// whose layer is 0).
bool MpegSync(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 2 && bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0 && (bytes[1] & 0x06) != 0;
}

// The length of the MPEG audio frame whose header is at `at`, or 0 when
// there is none.
std::size_t MpegFrameLength(const std::vector<unsigned char>& bytes, std::size_t at) {
    if (bytes.size() < at + 4 || bytes[at] != 0xFF || (bytes[at + 1] & 0xE0) != 0xE0) return 0;
    static constexpr int kKbps[2][3][16] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
    static constexpr int kRates[3] = {44100, 48000, 32000};
    const int version = (bytes[at + 1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int layer = 4 - ((bytes[at + 1] >> 1) & 3);
    const int rate_index = (bytes[at + 2] >> 2) & 3;
    const int kbps = layer == 4 || version == 1 ? 0 : kKbps[version == 3 ? 0 : 1][layer - 1][bytes[at + 2] >> 4];
    if (kbps == 0 || rate_index == 3) return 0;
    const int rate = kRates[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int padding = (bytes[at + 2] >> 1) & 1;
    if (layer == 1) return static_cast<std::size_t>((12 * kbps * 1000 / rate + padding) * 4);
    const int per_kbps = layer == 3 && version != 3 ? 72 : 144;
    return static_cast<std::size_t>(per_kbps * kbps * 1000 / rate + padding);
}

// MPEG audio is frames that follow one another, three of them where the
// bytes hold three (`ended`: the input holds no more); two bytes of PCM
// often look like a frame header.
bool MpegFrames(const std::vector<unsigned char>& bytes, bool ended) {
    int frames = 0;
    std::size_t at = 0;
    for (std::size_t length; frames < 3 && (length = MpegFrameLength(bytes, at)) > 0; at += length) ++frames;
    return frames == 3 || (frames > 0 && ended && at == bytes.size());
}

// libsndfile's name of the format it opens the head as, without its
// explanation: "WAV" of "WAV (Microsoft)".
std::optional<std::string> SndfileFormat(Source source) {
    source.position = 0;
    SF_VIRTUAL_IO io = SourceIo();
    SF_INFO info{};
    std::lock_guard lock(open_mutex);
    const SndfilePtr file(sf_open_virtual(&io, SFM_READ, &info, &source));
    if (!file) return std::nullopt;
    SF_FORMAT_INFO format{};
    format.format = info.format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &format, sizeof format) != 0 || format.name == nullptr) {
        return "a format libsndfile reads";
    }
    const std::string name = format.name;
    return name.substr(0, name.find(" ("));
}

}

bool MpegAudio(StreamHead& head) {
    if (HasAt(head.bytes, 0, "ID3")) return true;
    if (!MpegSync(head.bytes)) return false;
    head.Need(kMpegBytes);
    return MpegFrames(head.bytes, head.ended);
}

bool FalseMpeg(StreamHead& head) {
    if (!MpegSync(head.bytes)) return false;
    head.Need(kMpegBytes);
    return !MpegFrames(head.bytes, head.ended);
}

bool FalseMpeg(Source& source) {
    std::vector<unsigned char> start(static_cast<std::size_t>(std::clamp<sf_count_t>(
        source.length, 0, static_cast<sf_count_t>(kMpegBytes))));
    if (!source.ReadAt(0, start.data(), start.size())) return false;
    return MpegSync(start) && !MpegFrames(start, source.length <= static_cast<sf_count_t>(kMpegBytes));
}

std::optional<std::string> KnownHeader(StreamHead& head, const Source* file) {
    const std::vector<unsigned char>& bytes = head.bytes;
    // The scanner reads these itself, whatever libsndfile makes of the
    // head: a WAV's data may lie past it, a FLAC's metadata may outgrow it.
    if ((HasAt(bytes, 0, "RIFF") || HasAt(bytes, 0, "RIFX") || HasAt(bytes, 0, "RF64") || HasAt(bytes, 0, "BW64")) &&
        HasAt(bytes, 8, "WAVE")) {
        return "WAV";
    }
    if (HasAt(bytes, 0, "fLaC")) return "FLAC";
    // libsndfile hands what starts as MPEG audio to a decoder that writes
    // to standard error when it is not: frames are counted here instead.
    if (MpegSync(bytes)) {
        head.Need(kMpegBytes);
        return MpegFrames(bytes, head.ended) ? std::optional<std::string>("MPEG audio") : std::nullopt;
    }
    Source start;
    if (file == nullptr) {
        start.memory = bytes;
        start.length = static_cast<sf_count_t>(bytes.size());
    }
    if (std::optional<std::string> format = SndfileFormat(file != nullptr ? *file : start)) return format;
    // What libsndfile does not open is FFmpeg's to judge, whatever FFmpeg
    // calls it (as a WAV's head is: `true`), a CAF or an AIFF with a codec
    // libsndfile lacks too.
    if (ReadsWhole(head, true)) return "a format FFmpeg reads";
    return std::nullopt;
}

}
