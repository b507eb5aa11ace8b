// Every kernel this processor runs against the scalar definition of the feed.
#include "tone_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "tone_analysis.h"
#include "tone_fixed.h"
#include "tone_signals.h"

using namespace tonewatch;

namespace {

bool SameStates(const ToneBank& a, const ToneBank& b) {
    for (int k = 0; k < kToneChannels; ++k) {
        if (a.filter[k].latest != b.filter[k].latest || a.filter[k].delay1 != b.filter[k].delay1 ||
            a.filter[k].delay2 != b.filter[k].delay2) {
            return false;
        }
    }
    return true;
}

// Powers and mask of a bank, from a copy so that the states stay for comparison.
std::vector<int16_t> PowersAndMask(ToneBank bank) {
    std::vector<int16_t> out;
    for (int k = 0; k < kToneChannels; ++k) {
        ToneFilter f = bank.filter[k];
        out.push_back(ToneFilterPower(f, bank.coefficient_q14[k]));
    }
    ToneMask mask = 0;
    ToneBankDecide(mask, bank, kToneThreshold);
    out.push_back(mask);
    return out;
}

// A varied source of blocks: full-range noise, tones at levels up to
// overload, fixed patterns, and banks that do not start from zero.
class BlockSource {
public:
    explicit BlockSource(uint32_t seed) : random_(seed) {}

    // Blocks come from a pool made once, so that synthesizing does not
    // dominate the run; counts and starting states vary per use.
    const std::vector<int16_t>& Next(int index) {
        static const std::vector<std::vector<int16_t>> pool = [] {
            BlockSource maker(99);
            std::vector<std::vector<int16_t>> blocks;
            for (int i = 0; i < 4000; ++i) blocks.push_back(maker.Make(i));
            return blocks;
        }();
        return pool[(static_cast<std::size_t>(index) * 7919 + Uniform(0, 3)) % pool.size()];
    }

    std::vector<int16_t> Make(int index) {
        std::vector<int16_t> block(kBlockSamples);
        switch (index % 5) {
            case 0:
                for (int16_t& s : block) s = static_cast<int16_t>(Uniform(-32768, 32767));
                break;
            case 1: {
                const char key = "123A456B789C*0#D"[Uniform(0, 15)];
                const double amplitude = Uniform(0, 20000);
                std::vector<tonetest::Tone> tones = tonetest::KeyTones(key, amplitude);
                tones[0].phase = Uniform(0, 628) / 100.0;
                block = tonetest::Synthesize(tones, kBlockSamples, 4000, Uniform(0, 4000));
                break;
            }
            case 2:
                block = tonetest::Synthesize({{double(kToneFrequencies[Uniform(0, 7)]), double(Uniform(0, 40000))}},
                                             kBlockSamples);
                break;
            case 3: {
                const int16_t patterns[] = {32767, -32768, -1, 0, 127, -128};
                const int16_t a = patterns[Uniform(0, 5)], b = patterns[Uniform(0, 5)];
                for (int i = 0; i < kBlockSamples; ++i) block[i] = (i % Uniform(1, 3)) ? a : b;
                break;
            }
            default:
                for (int16_t& s : block) s = static_cast<int16_t>(Uniform(-300, 300));
                break;
        }
        return block;
    }

    // A reset bank, or one with arbitrary states to continue from.
    ToneBank Bank() {
        ToneBank bank;
        ToneBankReset(bank);
        if (Uniform(0, 3) == 0) {
            for (ToneFilter& f : bank.filter) {
                f = ToneFilter{static_cast<int16_t>(Uniform(-32768, 32767)), static_cast<int16_t>(Uniform(-32768, 32767)),
                               static_cast<int16_t>(Uniform(-32768, 32767))};
            }
        }
        return bank;
    }

    int16_t Count() {
        const int r = Uniform(0, 9);
        if (r == 0) return static_cast<int16_t>(Uniform(-5, 0));
        if (r == 1) return static_cast<int16_t>(Uniform(1, kBlockSamples));
        return kBlockSamples;
    }

    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

private:
    std::mt19937 random_;
};

constexpr int kBlocksPerKernel = 100000;

}

TEST(ToneKernels, ScalarComesFirstAndTheChosenIsAvailable) {
    const auto kernels = ToneKernelsAvailable();
    ASSERT_GE(kernels.size(), 1u);
    EXPECT_STREQ(kernels[0].name, "scalar");
    EXPECT_STREQ(ToneKernelChosen().name, kernels.back().name);
    std::string names;
    for (const ToneKernel& k : kernels) names += std::string(k.name) + " ";
    RecordProperty("kernels", names);
}

TEST(ToneKernels, OneBlockFeedMatchesTheDefinition) {
    BlockSource source(1);
    for (int i = 0; i < kBlocksPerKernel; ++i) {
        const std::vector<int16_t>& block = source.Next(i);
        const int16_t count = source.Count();
        const ToneBank before = source.Bank();
        ToneBank expected = before;
        ToneBankFeed(block.data(), expected, count);
        const std::vector<int16_t> expected_powers = PowersAndMask(expected);
        for (const ToneKernel& kernel : ToneKernelsAvailable()) {
            ToneBank actual = before;
            kernel.feed_one(block.data(), actual, count);
            ASSERT_TRUE(SameStates(expected, actual)) << kernel.name << " block " << i << " count " << count;
            ASSERT_EQ(expected_powers, PowersAndMask(actual)) << kernel.name << " block " << i;
        }
    }
}

TEST(ToneKernels, InterleavedFeedMatchesTheDefinition) {
    BlockSource source(2);
    int done = 0;
    for (int round = 0; done < kBlocksPerKernel; ++round) {
        // Odd group sizes too, so that partly filled vectors are covered.
        const int n = round % 3 == 0 ? source.Uniform(1, 13) : source.Uniform(14, 70);
        const int16_t count = source.Count();
        std::vector<const int16_t*> starts;
        std::vector<ToneBank> before, expected;
        for (int i = 0; i < n; ++i) {
            starts.push_back(source.Next(done + i).data());
            before.push_back(source.Bank());
            expected.push_back(before.back());
            ToneBankFeed(starts.back(), expected.back(), count);
        }
        for (const ToneKernel& kernel : ToneKernelsAvailable()) {
            std::vector<ToneBank> actual = before;
            kernel.feed_many(starts.data(), actual.data(), n, count);
            for (int i = 0; i < n; ++i) {
                ASSERT_TRUE(SameStates(expected[i], actual[i]))
                    << kernel.name << " round " << round << " block " << i << " of " << n << " count " << count;
                ASSERT_EQ(PowersAndMask(expected[i]), PowersAndMask(actual[i])) << kernel.name;
            }
        }
        done += n;
    }
}

TEST(ToneKernels, BatchAnalysisGivesTheKeysOfTheBlockAnalysis) {
    BlockSource source(3);
    std::vector<int16_t> samples;
    const int blocks = 997;
    for (int i = 0; i < blocks; ++i) {
        const std::vector<int16_t> block = source.Make(i % 2 ? 1 : i);
        samples.insert(samples.end(), block.begin(), block.end());
    }
    std::vector<char> keys(blocks, 'x');
    ToneAnalyseBlocks(samples.data(), blocks, keys.data());
    int found = 0;
    for (int i = 0; i < blocks; ++i) {
        const std::vector<uint8_t> bytes =
            tonetest::ToLittleEndian({samples.begin() + i * kBlockSamples, samples.begin() + (i + 1) * kBlockSamples});
        const char key = ToneAnalyseBlock(bytes.data());
        ASSERT_EQ(keys[i], key) << "block " << i;
        found += key != '\0';
    }
    EXPECT_GT(found, blocks / 4);
}

// Every kernel's actual product, for every 16-bit state and each of the eight
// coefficients: one step from delay1 = d, delay2 = 0 and a zero sample leaves
// exactly the wrapped Q14 product in delay1.
TEST(ToneKernels, EveryKernelsProductIsExactForEveryState) {
    constexpr std::size_t kStates = 65536;
    const std::vector<int16_t> zeros(kBlockSamples, 0);
    std::vector<const int16_t*> blocks(kStates, zeros.data());
    std::vector<ToneBank> before(kStates);
    for (std::size_t i = 0; i < kStates; ++i) {
        ToneBankReset(before[i]);
        for (ToneFilter& f : before[i].filter) f = ToneFilter{0, static_cast<int16_t>(i - 32768), 0};
    }
    for (const ToneKernel& kernel : ToneKernelsAvailable()) {
        std::vector<ToneBank> many = before;
        kernel.feed_many(blocks.data(), many.data(), kStates, 1);
        for (std::size_t i = 0; i < kStates; ++i) {
            ToneBank one = before[i];
            kernel.feed_one(zeros.data(), one, 1);
            for (int k = 0; k < kToneChannels; ++k) {
                const int16_t d = before[i].filter[k].delay1, c = before[i].coefficient_q14[k];
                const int16_t expected = Wrap16(Mul16x16Shr14(d, c));
                ASSERT_EQ(many[i].filter[k].delay1, expected) << kernel.name << " many: " << d << " * " << c;
                ASSERT_EQ(one.filter[k].delay1, expected) << kernel.name << " one: " << d << " * " << c;
            }
        }
    }
}

// Whole blocks from reset, fed and decided in one call: the masks of the
// definition, at the usual threshold and at thresholds set on the powers
// themselves, so that a power off by one shows.
TEST(ToneKernels, InterleavedAnalysisMatchesTheDefinition) {
    BlockSource source(5);
    int done = 0;
    for (int round = 0; done < kBlocksPerKernel / 4; ++round) {
        const int n = round % 3 == 0 ? source.Uniform(1, 13) : source.Uniform(14, 140);
        std::vector<const int16_t*> starts;
        std::vector<std::vector<int16_t>> powers;
        for (int i = 0; i < n; ++i) {
            starts.push_back(source.Next(done + i).data());
            ToneBank bank;
            ToneBankReset(bank);
            ToneBankFeed(starts.back(), bank, kBlockSamples);
            powers.push_back(PowersAndMask(bank));
        }
        const std::vector<int16_t>& some = powers[source.Uniform(0, n - 1)];
        const int16_t on_power = some[source.Uniform(0, kToneChannels - 1)];
        for (const int16_t threshold :
             {kToneThreshold, on_power, static_cast<int16_t>(on_power - 1), int16_t{-32768}, int16_t{32767}}) {
            std::vector<ToneMask> expected(n);
            for (int i = 0; i < n; ++i) {
                ToneBank bank;
                ToneBankReset(bank);
                ToneBankFeed(starts[i], bank, kBlockSamples);
                ToneBankDecide(expected[i], bank, threshold);
            }
            for (const ToneKernel& kernel : ToneKernelsAvailable()) {
                std::vector<ToneMask> masks(n, -1);
                kernel.analyse_many(starts.data(), n, threshold, masks.data());
                ASSERT_EQ(expected, masks) << kernel.name << " round " << round << " threshold " << threshold;
            }
        }
        done += n;
    }
}

// The 16-bit result of (a * b) >> 14, formed from the two halves of the
// 16x16 product as the vector kernels do.
TEST(ToneKernels, ProductFromHalvesIsExact) {
    auto from_halves = [](int16_t a, int16_t b) {
        const int32_t product = int32_t{a} * int32_t{b};
        const auto low = static_cast<uint16_t>(static_cast<uint32_t>(product));
        const auto high = static_cast<uint16_t>(static_cast<uint32_t>(product) >> 16);
        return static_cast<int16_t>(static_cast<uint16_t>((high << 2) | (low >> 14)));
    };
    auto check = [&](int16_t a, int16_t b) { return from_halves(a, b) == Wrap16(Mul16x16Shr14(a, b)); };
    std::vector<int16_t> special = {-32768, -32767, -16385, -16384, -1, 0, 1, 16383, 16384, 32767};
    for (int16_t c : ToneCoefficients()) special.push_back(c);
    for (int16_t b : special) {
        for (int a = -32768; a <= 32767; ++a) ASSERT_TRUE(check(static_cast<int16_t>(a), b)) << a << " * " << b;
    }
    std::mt19937 random(4);
    std::uniform_int_distribution<int> word(-32768, 32767);
    for (int i = 0; i < 4000000; ++i) {
        const auto a = static_cast<int16_t>(word(random)), b = static_cast<int16_t>(word(random));
        ASSERT_TRUE(check(a, b)) << a << " * " << b;
    }
}
