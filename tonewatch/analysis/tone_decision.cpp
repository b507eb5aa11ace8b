#include "tone_decision.h"

#include <bit>

#include "tone_fixed.h"

namespace tonewatch {

int16_t ToneFilterPower(ToneFilter& filter, int16_t coefficient_q14) {
    const int32_t y1 = filter.delay1;
    const int32_t y2 = filter.delay2;
    // |t| <= 2^16 and |y2| <= 2^15, so y2 - t fits 32 bits; the products
    // reach about 3.2e9 for full-scale states and wrap by design.
    const int32_t t = Mul16x16Shr14(filter.delay1, coefficient_q14);
    const int32_t energy = AddWrap32(MulWrap32(y2, y2 - t), MulWrap32(y1, y1));
    filter.delay1 = 0;
    filter.delay2 = 0;
    return Wrap16(Shr32By14(energy));
}

void ToneBankDecide(ToneMask& mask, ToneBank& bank, int16_t threshold) {
    uint16_t bits = static_cast<uint16_t>(mask);
    uint16_t bit = 1;
    for (int k = 0; k < kToneChannels; ++k) {
        if (ToneFilterPower(bank.filter[k], bank.coefficient_q14[k]) > threshold) {
            bits |= bit;
        } else {
            bits &= static_cast<uint16_t>(~bit);
        }
        bit = static_cast<uint16_t>(bit << 1);
    }
    mask = static_cast<ToneMask>(bits);
}

char ToneMaskToKey(ToneMask mask) {
    const unsigned bits = static_cast<uint16_t>(mask);
    const unsigned low = bits & 0x0Fu;
    const unsigned high = (bits >> 4) & 0x0Fu;
    // std::has_single_bit is a popcount, a library call where the baseline
    // instruction set has none; this runs once per block.
    const auto single = [](unsigned x) { return x != 0 && (x & (x - 1)) == 0; };
    const bool one_of_each = (bits >> 8) == 0 && single(low) && single(high);
    return one_of_each ? ToneKeyTable[std::countr_zero(low)][std::countr_zero(high)] : '\0';
}

}
