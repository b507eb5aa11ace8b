// AVX-512 kernel with VBMI2: as the BW kernel, but the two halves of the
// product join in one funnel shift, (high << 2) | (low >> 14) per word, which
// leaves two multiplies and one shift per filter step.
#include "tone_kernel_avx512_lanes.h"
#include "tone_kernel_lanes.h"
#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

struct FunnelProduct {
    static __m512i Q14(__m512i d1, __m512i c) {
        return _mm512_shldi_epi16(_mm512_mulhi_epi16(d1, c), _mm512_mullo_epi16(d1, c), 2);
    }
};

using Lanes = lanes::Avx512Lanes<FunnelProduct>;

}

void ToneFeedManyAvx512Vbmi2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    lanes::FeedMany<Lanes, 8>(blocks, banks, n, count);
}

void ToneAnalyseManyAvx512Vbmi2(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks) {
    lanes::AnalyseMany<Lanes, 8>(blocks, n, threshold, masks);
}

}
