// Analysis of 16-bit PCM at 4000 samples/s into DTMF keys, one block of 250
// samples at a time: the filter bank, fed by the kernel chosen for the
// processor, then the decision. Keys are narrow characters from the keypad,
// or 0 for none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tone_bank.h"
#include "tone_decision.h"

namespace tonewatch {

// One block of 500 bytes of little-endian PCM, analysed in a bank of its own.
char ToneAnalyseBlock(const uint8_t bytes[kBlockBytes]);

// `blocks` consecutive blocks of kBlockSamples samples each; keys[i] receives
// block i's key. The same result as ToneAnalyseBlock per block, faster:
// independent blocks are fed side by side.
void ToneAnalyseBlocks(const int16_t* samples, std::size_t blocks, char* keys);

}
