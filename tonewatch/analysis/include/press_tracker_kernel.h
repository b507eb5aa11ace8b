// The press tracker's inner loop: one sub-block of 32 samples correlated with
// the eight key frequencies, each from phase 0 at the sub-block's first
// sample, and its energy. Integer arithmetic throughout, so that every
// kernel gives exactly what the portable definition gives; the vector
// kernels multiply and add sample pairs as the processors' 16-bit
// multiply-add instructions do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "dtmf_keypad.h"

namespace tonewatch {

inline constexpr int kTrackerSubBlock = 32;
inline constexpr int kTrackerOutputs = 2 * kToneChannels;
// The correlation table holds cos and -sin in Q11: a sub-block's sums then
// stay within 32 bits for any samples (TrackerKernels' test proves it).
inline constexpr int kTrackerTableShift = 11;

// Row n: cos(w_k n) for the eight channels, then -sin(w_k n), in Q11.
using TrackerTable = std::array<std::array<int16_t, kTrackerOutputs>, kTrackerSubBlock>;
const TrackerTable& TrackerCorrelationTable();

// For each of `blocks` consecutive sub-blocks b: out[16 b + r] = sum over n
// of samples[32 b + n] * table[n][r], and energy[b] = sum of their squares.
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

// The portable definition first, then the vector kernels this processor runs.
std::span<const TrackerKernel> TrackerKernels();

// The widest of them, chosen once.
const TrackerKernel& TrackerKernelChosen();

}
