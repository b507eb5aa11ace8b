// The Goertzel filter bank of the tone analysis: eight filters in 16-bit fixed
// point, one per DTMF frequency, their Q14 coefficients, and the scalar feed
// that defines what every vector kernel must compute.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "dtmf_keypad.h"

namespace tonewatch {

inline constexpr int kBlockSamples = 250;
inline constexpr std::size_t kBlockBytes = 2 * kBlockSamples;

struct ToneFilter {
    int16_t latest;  // written by every step, read by nothing
    int16_t delay1;  // s[n-1]
    int16_t delay2;  // s[n-2]
};

struct ToneBank {
    ToneFilter filter[kToneChannels];
    int16_t coefficient_q14[kToneChannels];  // 2 cos(theta) in Q14
};

// The coefficient of a channel at `frequency` Hz, by the fixed rule:
// cos(f * 0.0015707963) * 32768.0 + 0.5, truncated toward zero.
int16_t ToneCoefficientQ14(int frequency);

// The eight coefficients, computed once by ToneCoefficientQ14 at load.
const std::array<int16_t, kToneChannels>& ToneCoefficients();

void ToneBankReset(ToneBank& bank);
void ToneFilterStep(ToneFilter& filter, int16_t sample, int16_t coefficient_q14);
// Feeds `count` samples (none when count <= 0) through the eight filters.
void ToneBankFeed(const int16_t* samples, ToneBank& bank, int16_t count);

}
