// The per-instruction-set kernel functions, each defined in its own unit
// compiled for that instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tone_bank.h"

namespace tonewatch {

#if defined(TONEWATCH_KERNELS_X86)
void ToneFeedOneSse2(const int16_t* samples, ToneBank& bank, int16_t count);
void ToneFeedManySse2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
void ToneFeedManyAvx2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
void ToneFeedManyAvx512(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
#endif

#if defined(TONEWATCH_KERNELS_NEON)
void ToneFeedOneNeon(const int16_t* samples, ToneBank& bank, int16_t count);
void ToneFeedManyNeon(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
#endif

}
