// The per-instruction-set kernel functions, each defined in its own unit
// compiled for that instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tone_decision.h"
#include "tone_bank.h"

namespace tonewatch {

#if defined(TONEWATCH_KERNELS_X86)
void ToneFeedOneSse2(const int16_t* samples, ToneBank& bank, int16_t count);
void ToneFeedManySse2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
void ToneAnalyseManySse2(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks);
void ToneFeedManyAvx2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
void ToneAnalyseManyAvx2(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks);
void ToneFeedManyAvx512(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
void ToneAnalyseManyAvx512(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks);
void ToneFeedManyAvx512Vbmi2(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
void ToneAnalyseManyAvx512Vbmi2(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks);
#endif

#if defined(TONEWATCH_KERNELS_NEON)
void ToneFeedOneNeon(const int16_t* samples, ToneBank& bank, int16_t count);
void ToneFeedManyNeon(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
void ToneAnalyseManyNeon(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks);
#endif

}
