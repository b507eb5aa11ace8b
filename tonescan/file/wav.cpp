#include "wav.h"

#include <algorithm>
#include <cstring>

namespace tonescan {
namespace {

uint32_t Word32(const unsigned char* p, bool big_endian) {
    return big_endian ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                      : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

uint16_t Word16(const unsigned char* p, bool big_endian) {
    return static_cast<uint16_t>(big_endian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

std::optional<SF_INFO> RawEquivalent(const unsigned char* fmt, uint32_t size, bool big_endian) {
    if (size < 16) return std::nullopt;
    uint16_t tag = Word16(fmt, big_endian);
    const uint16_t channels = Word16(fmt + 2, big_endian);
    const uint32_t rate = Word32(fmt + 4, big_endian);
    const uint16_t block_align = Word16(fmt + 12, big_endian);
    const uint16_t bits = Word16(fmt + 14, big_endian);
    if (tag == 0xFFFE && size >= 26) tag = Word16(fmt + 24, big_endian);  // the extensible format's subtype
    int encoding = 0;
    if (tag == 1 && bits == 8) encoding = SF_FORMAT_PCM_U8;
    if (tag == 1 && bits == 16) encoding = SF_FORMAT_PCM_16;
    if (tag == 1 && bits == 24) encoding = SF_FORMAT_PCM_24;
    if (tag == 1 && bits == 32) encoding = SF_FORMAT_PCM_32;
    if (tag == 3 && bits == 32) encoding = SF_FORMAT_FLOAT;
    if (tag == 3 && bits == 64) encoding = SF_FORMAT_DOUBLE;
    if (tag == 6 && bits == 8) encoding = SF_FORMAT_ALAW;
    if (tag == 7 && bits == 8) encoding = SF_FORMAT_ULAW;
    if (encoding == 0 || channels < 1 || rate < 1 || rate > INT32_MAX || block_align != channels * (bits / 8)) {
        return std::nullopt;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = channels;
    info.format = SF_FORMAT_RAW | encoding | (big_endian ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
    if (sf_format_check(&info) == 0) return std::nullopt;
    return info;
}

}

std::optional<WavLayout> FindWavData(const ReadAt& read) {
    unsigned char head[12];
    if (!read(0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0) return std::nullopt;
    WavLayout layout;
    if (std::memcmp(head, "RIFX", 4) == 0) {
        layout.big_endian = true;
    } else if (std::memcmp(head, "RIFF", 4) != 0) {
        return std::nullopt;
    }
    std::optional<SF_INFO> raw;
    for (uint64_t at = sizeof head;;) {
        unsigned char chunk[8];
        if (!read(at, chunk, sizeof chunk)) return std::nullopt;
        const uint32_t size = Word32(chunk + 4, layout.big_endian);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !raw) {
            unsigned char fmt[26];
            const uint32_t wanted = std::min<uint32_t>(size, sizeof fmt);
            if (read(at + 8, fmt, wanted)) raw = RawEquivalent(fmt, wanted, layout.big_endian);
        }
        if (std::memcmp(chunk, "data", 4) == 0) {
            layout.length_at = at + 4;
            layout.data_at = at + 8;
            layout.promised = size;
            layout.raw = raw;
            return layout;
        }
        at += 8 + uint64_t{size} + (size & 1);
    }
}

}
