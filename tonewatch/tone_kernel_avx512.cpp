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
    // State words move through a buffer once per block: not worth shuffles.
    static V Load(const int16_t* const* p) {
        int16_t words[32];
        for (int b = 0; b < 4; ++b) std::memcpy(words + 8 * b, p[b], 16);
        return _mm512_loadu_si512(words);
    }
    static void Store(int16_t* const* p, V v) {
        int16_t words[32];
        _mm512_storeu_si512(words, v);
        for (int b = 0; b < 4; ++b) std::memcpy(p[b], words + 8 * b, 16);
    }
    static V ProductQ14(V d1, V c) { return lanes::ProductQ14FromHalves<Avx512Lanes>(d1, c); }
    static V MulHigh(V a, V b) { return _mm512_mulhi_epi16(a, b); }
    static V MulLow(V a, V b) { return _mm512_mullo_epi16(a, b); }
    static V Or(V a, V b) { return _mm512_or_si512(a, b); }
    static V Add(V a, V b) { return _mm512_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm512_sub_epi16(a, b); }
    static V ShiftLeft2(V a) { return _mm512_slli_epi16(a, 2); }
    static V ShiftRightLogical14(V a) { return _mm512_srli_epi16(a, 14); }
    static V ShiftRightArithmetic7(V a) { return _mm512_srai_epi16(a, 7); }
    // Each block's sample in the eight lanes of its 128-bit quarter.
    static V Samples(const int16_t* const* blocks, int n) {
        const uint64_t four = static_cast<uint16_t>(blocks[0][n]) | uint64_t{static_cast<uint16_t>(blocks[1][n])} << 16 |
                              uint64_t{static_cast<uint16_t>(blocks[2][n])} << 32 |
                              uint64_t{static_cast<uint16_t>(blocks[3][n])} << 48;
        const __m512i pick = _mm512_set_epi16(3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1,
                                              0, 0, 0, 0, 0, 0, 0, 0);
        return _mm512_permutexvar_epi16(pick, _mm512_set1_epi64(static_cast<long long>(four)));
    }
};

}

void ToneFeedManyAvx512(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Avx512Lanes, 4>(blocks, banks, n, count);
}

}
