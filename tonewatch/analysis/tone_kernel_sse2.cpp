// SSE2 kernels: eight filters of one block per vector. Baseline on x86-64.
#include <emmintrin.h>

#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

struct Sse2Lanes {
    using V = __m128i;
    static constexpr int kBlocks = 1;
    static constexpr int kScaleSamples = 8;
    static V Load(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void Store(int16_t* p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static V ProductQ14(V d1, V c) { return lanes::ProductQ14FromHalves<Sse2Lanes>(d1, c); }
    static V MulHigh(V a, V b) { return _mm_mulhi_epi16(a, b); }
    static V MulLow(V a, V b) { return _mm_mullo_epi16(a, b); }
    static V Or(V a, V b) { return _mm_or_si128(a, b); }
    static V Add(V a, V b) { return _mm_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm_sub_epi16(a, b); }
    static V ShiftLeft2(V a) { return _mm_slli_epi16(a, 2); }
    static V ShiftRightLogical14(V a) { return _mm_srli_epi16(a, 14); }
    static V Samples(const int16_t* p) { return _mm_set1_epi16(*p); }
    static void ScaleInterleave(const int16_t* const* x, int16_t* out) {
        Store(out, _mm_srai_epi16(Load(x[0]), 7));
    }
};

}

void ToneFeedOneSse2(const int16_t* samples, ToneBank& bank, int16_t count) {
    lanes::FeedOne<Sse2Lanes>(samples, bank, count);
}

void ToneFeedManySse2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Sse2Lanes, 4>(blocks, banks, n, count);
}

void ToneAnalyseManySse2(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks) {
    lanes::AnalyseMany<Sse2Lanes, 4>(blocks, n, threshold, masks);
}

}
