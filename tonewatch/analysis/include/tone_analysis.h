// Analysis of 16-bit PCM at 4000 samples/s into DTMF keys, one block of 250
// samples at a time: the filter bank, a power threshold and a table from the
// pattern of present frequencies to a key. Keys are narrow characters from
// the keypad, or 0 for none.
#pragma once

#include <cstddef>
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

// One block of 500 bytes of little-endian PCM, analysed in a bank of its own.
char ToneAnalyseBlock(const uint8_t bytes[kBlockBytes]);

// `blocks` consecutive blocks of kBlockSamples samples each; keys[i] receives
// block i's key. The same result as ToneAnalyseBlock per block, faster:
// independent blocks are fed side by side.
void ToneAnalyseBlocks(const int16_t* samples, std::size_t blocks, char* keys);

}
