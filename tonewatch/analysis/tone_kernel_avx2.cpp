// AVX2 kernel: two blocks per vector, several vectors interleaved.
#include <immintrin.h>

#include <cstring>

#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

// Bits 0, 2, 4, ... of the low 16 bits of x, packed into 8 bits.
constexpr uint32_t EvenBits16(uint32_t x) {
    x &= 0x5555u;
    x = (x | (x >> 1)) & 0x3333u;
    x = (x | (x >> 2)) & 0x0F0Fu;
    return (x | (x >> 4)) & 0x00FFu;
}

struct Avx2Lanes {
    using V = __m256i;
    static constexpr int kBlocks = 2;
    static constexpr int kScaleSamples = 16;
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
    // Unpacking interleaves within each 128-bit lane; the lanes then swap
    // into sample order.
    static void ScaleInterleave(const int16_t* const* x, int16_t* out) {
        const V a = _mm256_srai_epi16(Load(x[0]), 7);
        const V b = _mm256_srai_epi16(Load(x[1]), 7);
        const V low = _mm256_unpacklo_epi16(a, b), high = _mm256_unpackhi_epi16(a, b);
        Store(out, _mm256_permute2x128_si256(low, high, 0x20));
        Store(out + 16, _mm256_permute2x128_si256(low, high, 0x31));
    }
    // ToneFilterPower in 32-bit lanes for eight lanes (four filters of both
    // blocks); bit i of the result: lane i's power exceeds the threshold.
    static uint32_t PresentHalf(__m128i delay1, __m128i delay2, __m128i coefficient_q14, __m256i threshold) {
        const V y1 = _mm256_cvtepi16_epi32(delay1), y2 = _mm256_cvtepi16_epi32(delay2);
        const V t = _mm256_srai_epi32(_mm256_mullo_epi32(y1, _mm256_cvtepi16_epi32(coefficient_q14)), 14);
        const V energy = _mm256_add_epi32(_mm256_mullo_epi32(y2, _mm256_sub_epi32(y2, t)), _mm256_mullo_epi32(y1, y1));
        const V power = _mm256_srai_epi32(_mm256_slli_epi32(energy, 2), 16);
        return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(power, threshold))));
    }
    static uint64_t PresentBits(V d1, V d2, V c, int16_t threshold) {
        const V limit = _mm256_set1_epi32(threshold);
        const uint32_t low = PresentHalf(_mm256_castsi256_si128(d1), _mm256_castsi256_si128(d2),
                                         _mm256_castsi256_si128(c), limit);
        const uint32_t high = PresentHalf(_mm256_extracti128_si256(d1, 1), _mm256_extracti128_si256(d2, 1),
                                          _mm256_extracti128_si256(c, 1), limit);
        // Bit j * 2 + b: filter j of block b.
        const uint32_t bits = low | (high << 8);
        return EvenBits16(bits) | (EvenBits16(bits >> 1) << 8);
    }
};

}

void ToneFeedManyAvx2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Avx2Lanes, 8>(blocks, banks, n, count);
}

void ToneAnalyseManyAvx2(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks) {
    lanes::AnalyseMany<Avx2Lanes, 8>(blocks, n, threshold, masks);
}

}
