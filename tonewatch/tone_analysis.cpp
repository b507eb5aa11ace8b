#include "tone_analysis.h"

#include <bit>
#include <cmath>

#include "tone_fixed.h"
#include "tone_kernels.h"

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
    // Truncation toward zero: for the negative cosines of the high group the
    // +0.5 does not round to nearest, and the table depends on exactly that.
    return static_cast<int16_t>(static_cast<int32_t>(std::cos(theta) * 32768.0 + 0.5));
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
    const int32_t s = MulQ14(filter.delay1, coefficient_q14) + ScaleSample(sample) - filter.delay2;
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

int16_t ToneFilterPower(ToneFilter& filter, int16_t coefficient_q14) {
    const int32_t y1 = filter.delay1;
    const int32_t y2 = filter.delay2;
    const int32_t t = MulQ14(filter.delay1, coefficient_q14);
    // y2 * (y2 - t) reaches about 3.2e9 for full-scale states: wraps by design.
    const int32_t energy = AddWrap32(MulWrap32(y2, y2 - t), MulWrap32(y1, y1));
    filter.delay1 = 0;
    filter.delay2 = 0;
    return PowerFromEnergy(energy);
}

void ToneBankDecide(ToneMask& mask, ToneBank& bank, int16_t threshold) {
    uint16_t bits = static_cast<uint16_t>(mask);
    uint16_t bit = 1;
    for (int k = 0; k < kToneChannels; ++k) {
        if (ToneFilterPower(bank.filter[k], bank.coefficient_q14[k]) > threshold) {
            bits |= bit;
        } else {
            bits &= static_cast<uint16_t>(~bit);
        }
        bit = static_cast<uint16_t>(bit << 1);
    }
    mask = static_cast<ToneMask>(bits);
}

void ToneMaskToKey(char out[2], ToneMask mask) {
    const unsigned bits = static_cast<uint16_t>(mask);
    const unsigned low = bits & 0x0Fu;
    const unsigned high = (bits >> 4) & 0x0Fu;
    const bool one_of_each = (bits >> 8) == 0 && std::has_single_bit(low) && std::has_single_bit(high);
    out[0] = one_of_each ? ToneKeyTable[std::countr_zero(low)][std::countr_zero(high)] : '\0';
    out[1] = '\0';
}

void ToneAnalyseBlock(const uint8_t bytes[kBlockBytes], ToneBank& bank, char key[2]) {
    ToneBankReset(bank);
    int16_t samples[kBlockSamples];
    for (int i = 0; i < kBlockSamples; ++i) {
        samples[i] = SampleFromLittleEndian(bytes[2 * i], bytes[2 * i + 1]);
    }
    ToneKernelChosen().feed_one(samples, bank, kBlockSamples);
    ToneMask mask = 0;
    ToneBankDecide(mask, bank, kToneThreshold);
    ToneMaskToKey(key, mask);
}

}
