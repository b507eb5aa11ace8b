// The press tracker's inner loop: one sub-block of 32 samples correlated with
// the eight key frequencies, each from phase 0 at the sub-block's middle
// (between samples 15 and 16), and its energy. Folded about the middle, the
// samples n and 31-n meet each frequency at opposite phases: their half sum
// goes with the cosine, their half difference with the sine, which halves
// the products. Integer arithmetic throughout, so that every kernel gives
// exactly what the portable definition gives; the vector kernels multiply
// and add pairs as the processors' 16-bit multiply-add instructions do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "dtmf_keypad.h"

namespace tonescan {

using tonewatch::kToneChannels;
using tonewatch::kToneFrequencies;

inline constexpr int kTrackerSubBlock = 32;
inline constexpr int kTrackerFolds = kTrackerSubBlock / 2;
inline constexpr int kTrackerOutputs = 2 * kToneChannels;
// The correlation table holds cos and -sin in Q11: a sub-block's sums then
// stay within 32 bits for any samples (TrackerKernels' test proves it).
inline constexpr int kTrackerTableShift = 11;

// Row m: cos(w_k (m - 15.5)) for the eight channels, then -sin(w_k (m - 15.5)),
// in Q11.
using TrackerTable = std::array<std::array<int16_t, kTrackerOutputs>, kTrackerFolds>;
const TrackerTable& TrackerCorrelationTable();

// For each of `blocks` consecutive sub-blocks b, with x its samples from
// samples[32 b], a_m = (x_m + x_31-m + 1) >> 1 and d_m = (x_m - x_31-m) >> 1
// (arithmetic shifts): out[16 b + k] = sum over m of a_m * table[m][k] and
// out[16 b + 8 + k] = sum over m of d_m * table[m][8 + k], for k < 8; and
// energy[b] = sum of the squares of x.
using TrackerCorrelate = void (*)(const int16_t* samples, std::size_t blocks, int32_t* out, int64_t* energy);

// Goertzel recursions of the low window (kTrackerProbeSamples samples) for
// kTrackerProbes frequencies at once, given 2 cos w for each; leaves the
// last two states of each.
inline constexpr int kTrackerProbes = 48;
inline constexpr int kTrackerProbeSamples = 192;
using TrackerRecurse = void (*)(const float* samples, const float* coefficient, float* last, float* before_last);

struct TrackerKernel {
    const char* name;
    TrackerCorrelate correlate;
    TrackerRecurse recurse;
};

// The portable definition first, then the vector kernels this processor
// runs: AVX2; AVX-512 for the recursions, with AVX2's folded correlations;
// and with them AVX-512's where it has 16-bit lanes (AVX512BW), with VNNI's
// multiply-adds that add into the sums where it has them.
std::span<const TrackerKernel> TrackerKernels();

// The widest of them, chosen once.
const TrackerKernel& TrackerKernelChosen();

}
