// The decision on one block's filter bank: each filter's power against a
// threshold, and the key of the pattern of present frequencies. Below the
// kernels, which decide on many blocks at once with it as their definition.
#pragma once

#include <cstdint>

#include "tone_bank.h"

namespace tonewatch {

inline constexpr int16_t kToneThreshold = 256;

// Bit k set: channel k present. Bits 8-15 stay 0.
using ToneMask = int16_t;

// The filter's squared magnitude, shifted down by 14 and wrapped to 16 bits;
// clears delay1 and delay2.
int16_t ToneFilterPower(ToneFilter& filter, int16_t coefficient_q14);
void ToneBankDecide(ToneMask& mask, ToneBank& bank, int16_t threshold);
// The key of a mask with exactly one bit in each group, otherwise 0.
char ToneMaskToKey(ToneMask mask);

}
