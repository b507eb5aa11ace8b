#include "tone_bank.h"

#include <cmath>

#include "tone_fixed.h"

namespace tonewatch {

namespace {

// 2*pi/4000 to ten decimals; the angles stay tied to 4000 samples/s.
constexpr double kRadiansPerHertz = 0.0015707963;

std::array<int16_t, kToneChannels> ComputeCoefficients() {
    std::array<int16_t, kToneChannels> table{};
    for (int k = 0; k < kToneChannels; ++k) table[k] = ToneCoefficientQ14(kToneFrequencies[k]);
    return table;
}

const std::array<int16_t, kToneChannels>& Coefficients() {
    static const std::array<int16_t, kToneChannels> table = ComputeCoefficients();
    return table;
}

// Computed at load, so that the block handler never pays for the cosines.
[[maybe_unused]] const std::array<int16_t, kToneChannels>& coefficients_at_load = Coefficients();

}

int16_t ToneCoefficientQ14(int frequency) {
    const double theta = frequency * kRadiansPerHertz;
    // The conversion truncates toward zero: for the negative cosines of the
    // high group the +0.5 does not round to nearest, and the table depends on
    // exactly that. Every DTMF cosine is below 1, so the value fits 16 bits.
    return Wrap16(static_cast<int32_t>(std::cos(theta) * 32768.0 + 0.5));
}

const std::array<int16_t, kToneChannels>& ToneCoefficients() { return Coefficients(); }

void ToneBankReset(ToneBank& bank) {
    const std::array<int16_t, kToneChannels>& coefficients = Coefficients();
    for (int k = 0; k < kToneChannels; ++k) {
        bank.filter[k] = ToneFilter{0, 0, 0};
        bank.coefficient_q14[k] = coefficients[k];
    }
}

void ToneFilterStep(ToneFilter& filter, int16_t sample, int16_t coefficient_q14) {
    // |p| <= 2^16, |x >> 7| <= 256 and |delay2| <= 2^15: the 32-bit sum cannot
    // overflow; only its truncation to the 16-bit state wraps.
    const int32_t p = Mul16x16Shr14(filter.delay1, coefficient_q14);
    const int32_t s = p + Shr16By7(sample) - filter.delay2;
    filter.delay2 = filter.delay1;
    filter.latest = Wrap16(s);
    filter.delay1 = filter.latest;
}

void ToneBankFeed(const int16_t* samples, ToneBank& bank, int16_t count) {
    for (int16_t n = 0; n < count; ++n) {
        for (int k = 0; k < kToneChannels; ++k) {
            ToneFilterStep(bank.filter[k], samples[n], bank.coefficient_q14[k]);
        }
    }
}

}
