#include "tone_analysis.h"

#include "tone_fixed.h"
#include "tone_kernels.h"

namespace tonewatch {

namespace {

char DecideKey(ToneBank& bank) {
    ToneMask mask = 0;
    ToneBankDecide(mask, bank, kToneThreshold);
    return ToneMaskToKey(mask);
}

}

char ToneAnalyseBlock(const uint8_t bytes[kBlockBytes]) {
    ToneBank bank;
    ToneBankReset(bank);
    int16_t samples[kBlockSamples];
    for (int i = 0; i < kBlockSamples; ++i) {
        samples[i] = SampleFromLittleEndian(bytes[2 * i], bytes[2 * i + 1]);
    }
    ToneKernelChosen().feed_one(samples, bank, kBlockSamples);
    return DecideKey(bank);
}

void ToneAnalyseBlocks(const int16_t* samples, std::size_t blocks, char* keys) {
    constexpr std::size_t kChunk = 64;
    const int16_t* starts[kChunk];
    ToneMask masks[kChunk];
    for (std::size_t first = 0; first < blocks; first += kChunk) {
        const std::size_t n = blocks - first < kChunk ? blocks - first : kChunk;
        for (std::size_t i = 0; i < n; ++i) starts[i] = samples + (first + i) * kBlockSamples;
        ToneKernelChosen().analyse_many(starts, n, kToneThreshold, masks);
        for (std::size_t i = 0; i < n; ++i) keys[first + i] = ToneMaskToKey(masks[i]);
    }
}

}
