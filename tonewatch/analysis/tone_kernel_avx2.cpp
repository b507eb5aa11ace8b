// AVX2 kernel: two blocks per vector, several vectors interleaved.
#include <immintrin.h>

#include <cstring>

#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

struct Avx2Lanes {
    using V = __m256i;
    static constexpr int kBlocks = 2;
    static V Load(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void Store(int16_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static V ProductQ14(V d1, V c) { return lanes::ProductQ14FromHalves<Avx2Lanes>(d1, c); }
    static V MulHigh(V a, V b) { return _mm256_mulhi_epi16(a, b); }
    static V MulLow(V a, V b) { return _mm256_mullo_epi16(a, b); }
    static V Or(V a, V b) { return _mm256_or_si256(a, b); }
    static V Add(V a, V b) { return _mm256_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }
    static V ShiftLeft2(V a) { return _mm256_slli_epi16(a, 2); }
    static V ShiftRightLogical14(V a) { return _mm256_srli_epi16(a, 14); }
    static V Samples(const int16_t* p) {
        int32_t pair;
        std::memcpy(&pair, p, sizeof pair);
        return _mm256_set1_epi32(pair);
    }
    static void ScaleInterleave8(const int16_t* const* x, int16_t* out) {
        const __m128i a = _mm_srai_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x[0])), 7);
        const __m128i b = _mm_srai_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x[1])), 7);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi16(a, b));
    }
};

}

void ToneFeedManyAvx2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Avx2Lanes, 4>(blocks, banks, n, count);
}

}
