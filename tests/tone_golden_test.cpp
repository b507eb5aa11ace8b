// Bit-exactness guard: every filter state, power and mask of a sweep of
// blocks is folded into one checksum. The constant was cross-checked against
// an independent model of the arithmetic; a change of it is a change of
// behaviour and needs a reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tone_analysis.h"
#include "tone_kernels.h"
#include "tone_signals.h"

using namespace tonewatch;

namespace {

constexpr uint32_t kGoldenChecksum = 0x5df787c9;

struct Fnv1a {
    uint32_t hash = 2166136261u;
    void Add(int16_t value) {
        const auto u = static_cast<uint16_t>(value);
        for (uint8_t byte : {static_cast<uint8_t>(u & 0xFF), static_cast<uint8_t>(u >> 8)}) {
            hash = (hash ^ byte) * 16777619u;
        }
    }
};

// Every state word of the bank and every channel's power, the state untouched.
void FoldBank(Fnv1a& fold, const ToneBank& bank) {
    for (const ToneFilter& f : bank.filter) {
        fold.Add(f.latest);
        fold.Add(f.delay1);
        fold.Add(f.delay2);
    }
    for (int k = 0; k < kToneChannels; ++k) {
        ToneFilter copy = bank.filter[k];
        fold.Add(ToneFilterPower(copy, bank.coefficient_q14[k]));
    }
}

// Park-Miller style generator so that the noise is the same everywhere.
struct Lcg {
    uint32_t state;
    int16_t Next() {
        state = state * 1103515245u + 12345u;
        return static_cast<int16_t>(static_cast<uint16_t>(state >> 16));
    }
};

std::vector<std::vector<int16_t>> SweepBlocks() {
    std::vector<std::vector<int16_t>> blocks;
    for (char key : std::string("123A456B789C*0#D")) {
        for (double amplitude : {1000.0, 2000.0, 2400.0, 4000.0, 12000.0, 16000.0}) {
            blocks.push_back(tonetest::Synthesize(tonetest::KeyTones(key, amplitude), kBlockSamples));
        }
    }
    for (int frequency : kToneFrequencies) {
        for (double amplitude : {4000.0, 20000.0, 24000.0, 32767.0}) {
            blocks.push_back(tonetest::Synthesize({{double(frequency), amplitude}}, kBlockSamples));
        }
    }
    blocks.emplace_back(kBlockSamples, int16_t{32767});
    blocks.emplace_back(kBlockSamples, int16_t{-32768});
    std::vector<int16_t> alternating(kBlockSamples);
    for (int i = 0; i < kBlockSamples; ++i) alternating[i] = (i % 2) ? int16_t{-32768} : int16_t{32767};
    blocks.push_back(alternating);
    Lcg noise{12345};
    for (int b = 0; b < 64; ++b) {
        std::vector<int16_t> block(kBlockSamples);
        for (int16_t& s : block) s = noise.Next();
        blocks.push_back(block);
    }
    return blocks;
}

// The sweep through one kernel: its feed for the states, the definition's
// power of those states, and its own decision for the masks.
uint32_t SweepChecksum(const ToneKernel& kernel) {
    const std::vector<std::vector<int16_t>> blocks = SweepBlocks();
    std::vector<const int16_t*> starts;
    std::vector<ToneBank> banks(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        starts.push_back(blocks[i].data());
        ToneBankReset(banks[i]);
    }
    kernel.feed_many(starts.data(), banks.data(), banks.size(), kBlockSamples);
    std::vector<ToneMask> masks(blocks.size());
    kernel.analyse_many(starts.data(), starts.size(), kToneThreshold, masks.data());
    Fnv1a fold;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const ToneBank& bank = banks[i];
        FoldBank(fold, bank);
        fold.Add(masks[i]);
    }
    return fold.hash;
}

}

TEST(ToneGolden, ChecksumOfSweepIsUnchanged) {
    Fnv1a fold;
    for (const std::vector<int16_t>& samples : SweepBlocks()) {
        ToneBank bank;
        ToneBankReset(bank);
        ToneBankFeed(samples.data(), bank, kBlockSamples);
        FoldBank(fold, bank);
        ToneMask mask = 0;
        ToneBankDecide(mask, bank, kToneThreshold);
        fold.Add(mask);
    }
    // Recorded in the test report (--gtest_output) so that the runs on each
    // processor can be set side by side.
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(fold.hash));
    RecordProperty("golden_checksum", hex);
    EXPECT_EQ(fold.hash, kGoldenChecksum) << std::hex << fold.hash;
}

TEST(ToneGolden, EveryKernelGivesTheSameChecksum) {
    for (const ToneKernel& kernel : ToneKernelsAvailable()) {
        EXPECT_EQ(SweepChecksum(kernel), kGoldenChecksum) << kernel.name << std::hex << " " << SweepChecksum(kernel);
    }
}
