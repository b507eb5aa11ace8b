// AVX-512 (BW) kernel: four blocks per vector, several vectors interleaved.
#include "tone_kernel_avx512_lanes.h"
#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

struct HalvesProduct {
    using V = __m512i;
    static V MulHigh(V a, V b) { return _mm512_mulhi_epi16(a, b); }
    static V MulLow(V a, V b) { return _mm512_mullo_epi16(a, b); }
    static V Or(V a, V b) { return _mm512_or_si512(a, b); }
    static V ShiftLeft2(V a) { return _mm512_slli_epi16(a, 2); }
    static V ShiftRightLogical14(V a) { return _mm512_srli_epi16(a, 14); }
    static V Q14(V d1, V c) { return lanes::ProductQ14FromHalves<HalvesProduct>(d1, c); }
};

using Lanes = lanes::Avx512Lanes<HalvesProduct>;

}

void ToneFeedManyAvx512(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Lanes, 8>(blocks, banks, n, count);
}

void ToneAnalyseManyAvx512(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks) {
    lanes::AnalyseMany<Lanes, 8>(blocks, n, threshold, masks);
}

}
