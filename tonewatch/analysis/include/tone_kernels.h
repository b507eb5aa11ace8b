// Vector kernels of the filter feed. The scalar ToneBankFeed is the
// definition; every kernel gives bit-identical filter states. A one-block
// kernel runs the eight filters of one bank side by side; a many-block kernel
// interleaves independent banks to hide the latency of the recurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tone_decision.h"
#include "tone_bank.h"

namespace tonewatch {

// Feeds `count` samples (none when count <= 0) through the eight filters of `bank`.
using ToneFeedOne = void (*)(const int16_t* samples, ToneBank& bank, int16_t count);
// Feeds `count` samples of blocks[i] through banks[i], for i < n.
using ToneFeedMany = void (*)(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count);
// Analyses n whole blocks of kBlockSamples samples, each in a bank of its
// own from reset: masks[i] receives what ToneBankDecide gives for blocks[i]
// at `threshold`.
using ToneAnalyseMany = void (*)(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks);

struct ToneKernel {
    const char* name;
    ToneFeedOne feed_one;
    ToneFeedMany feed_many;
    ToneAnalyseMany analyse_many;
};

// The kernels this processor can run: the scalar definition first, then
// vector kernels from the narrowest to the widest.
std::span<const ToneKernel> ToneKernelsAvailable();

// The kernel the analysis uses, chosen once at load from the processor's
// features.
const ToneKernel& ToneKernelChosen();

}
