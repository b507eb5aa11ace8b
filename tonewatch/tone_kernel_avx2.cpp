// AVX2 kernel: two blocks per vector, several vectors interleaved.
#include <immintrin.h>

#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

struct Avx2Lanes {
    using V = __m256i;
    static constexpr int kBlocks = 2;
    static V Load(const int16_t* const* p) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[0]));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[1]));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    }
    static void Store(int16_t* const* p, V v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p[0]), _mm256_castsi256_si128(v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p[1]), _mm256_extracti128_si256(v, 1));
    }
    static V ProductQ14(V d1, V c) { return lanes::ProductQ14FromHalves<Avx2Lanes>(d1, c); }
    static V MulHigh(V a, V b) { return _mm256_mulhi_epi16(a, b); }
    static V MulLow(V a, V b) { return _mm256_mullo_epi16(a, b); }
    static V Or(V a, V b) { return _mm256_or_si256(a, b); }
    static V Add(V a, V b) { return _mm256_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }
    static V ShiftLeft2(V a) { return _mm256_slli_epi16(a, 2); }
    static V ShiftRightLogical14(V a) { return _mm256_srli_epi16(a, 14); }
    static V ShiftRightArithmetic7(V a) { return _mm256_srai_epi16(a, 7); }
    static V Samples(const int16_t* const* blocks, int n) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi16(blocks[0][n])),
                                       _mm_set1_epi16(blocks[1][n]), 1);
    }
};

}

void ToneFeedManyAvx2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Avx2Lanes, 4>(blocks, banks, n, count);
}

}
