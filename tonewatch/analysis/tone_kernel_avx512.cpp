// AVX-512 (BW) kernel: four blocks per vector, several vectors interleaved.
#include <immintrin.h>

#include <cstring>

#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

struct Avx512Lanes {
    using V = __m512i;
    static constexpr int kBlocks = 4;
    static V Load(const int16_t* p) { return _mm512_loadu_si512(p); }
    static void Store(int16_t* p, V v) { _mm512_storeu_si512(p, v); }
    static V ProductQ14(V d1, V c) { return lanes::ProductQ14FromHalves<Avx512Lanes>(d1, c); }
    static V MulHigh(V a, V b) { return _mm512_mulhi_epi16(a, b); }
    static V MulLow(V a, V b) { return _mm512_mullo_epi16(a, b); }
    static V Or(V a, V b) { return _mm512_or_si512(a, b); }
    static V Add(V a, V b) { return _mm512_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm512_sub_epi16(a, b); }
    static V ShiftLeft2(V a) { return _mm512_slli_epi16(a, 2); }
    static V ShiftRightLogical14(V a) { return _mm512_srli_epi16(a, 14); }
    static V Samples(const int16_t* p) {
        long long four;
        std::memcpy(&four, p, sizeof four);
        return _mm512_set1_epi64(four);
    }
    // A 4 x 8 transpose of words.
    static void ScaleInterleave8(const int16_t* const* x, int16_t* out) {
        __m128i r[4];
        for (int b = 0; b < 4; ++b) r[b] = _mm_srai_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x[b])), 7);
        const __m128i ab_low = _mm_unpacklo_epi16(r[0], r[1]), ab_high = _mm_unpackhi_epi16(r[0], r[1]);
        const __m128i cd_low = _mm_unpacklo_epi16(r[2], r[3]), cd_high = _mm_unpackhi_epi16(r[2], r[3]);
        __m128i* o = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(o + 0, _mm_unpacklo_epi32(ab_low, cd_low));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi32(ab_low, cd_low));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi32(ab_high, cd_high));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi32(ab_high, cd_high));
    }
};

}

void ToneFeedManyAvx512(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Avx512Lanes, 4>(blocks, banks, n, count);
}

}
