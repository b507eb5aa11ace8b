// NEON kernels: eight filters of one block per vector.
#include <arm_neon.h>

#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

struct NeonLanes {
    using V = int16x8_t;
    static constexpr int kBlocks = 1;
    static constexpr int kScaleSamples = 8;
    static V Load(const int16_t* p) { return vld1q_s16(p); }
    static void Store(int16_t* p, V v) { vst1q_s16(p, v); }
    // Widening multiplies, then a narrowing shift that keeps bits 14..29.
    static V ProductQ14(V d1, V c) {
        const int32x4_t low = vmull_s16(vget_low_s16(d1), vget_low_s16(c));
        const int32x4_t high = vmull_s16(vget_high_s16(d1), vget_high_s16(c));
        return vcombine_s16(vshrn_n_s32(low, 14), vshrn_n_s32(high, 14));
    }
    static V Add(V a, V b) { return vaddq_s16(a, b); }
    static V Sub(V a, V b) { return vsubq_s16(a, b); }
    static V Samples(const int16_t* p) { return vld1q_dup_s16(p); }
    static void ScaleInterleave(const int16_t* const* x, int16_t* out) { vst1q_s16(out, vshrq_n_s16(vld1q_s16(x[0]), 7)); }
};

}

void ToneFeedOneNeon(const int16_t* samples, ToneBank& bank, int16_t count) {
    lanes::FeedOne<NeonLanes>(samples, bank, count);
}

void ToneFeedManyNeon(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<NeonLanes, 4>(blocks, banks, n, count);
}

void ToneAnalyseManyNeon(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks) {
    lanes::AnalyseMany<NeonLanes, 4>(blocks, n, threshold, masks);
}

}
