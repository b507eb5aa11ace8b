#include "tone_analysis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tone_signals.h"

using namespace tonewatch;
using tonetest::KeyTones;
using tonetest::Synthesize;
using tonetest::Tone;
using tonetest::ToLittleEndian;

namespace {

const std::string kAllKeys = "123A456B789C*0#D";

struct BlockResult {
    ToneMask mask;
    char key;
    int16_t power[kToneChannels];
};

// Runs the block sequence step by step so that the powers can be seen too;
// the key comes from ToneAnalyseBlock itself.
BlockResult Analyse(const std::vector<Tone>& tones) {
    const std::vector<int16_t> samples = Synthesize(tones, kBlockSamples);
    BlockResult result{};
    ToneBank bank;
    ToneBankReset(bank);
    ToneBankFeed(samples.data(), bank, kBlockSamples);
    for (int k = 0; k < kToneChannels; ++k) {
        ToneFilter copy = bank.filter[k];
        result.power[k] = ToneFilterPower(copy, bank.coefficient_q14[k]);
    }
    ToneBankDecide(result.mask, bank, kToneThreshold);
    result.key = ToneAnalyseBlock(ToLittleEndian(samples).data());
    return result;
}

}

TEST(ToneCoefficients, RuleGivesTheFixedTable) {
    const int16_t expected[kToneChannels] = {15014, 11583, 7549, 3032, -10564, -16502, -22317, -27471};
    for (int k = 0; k < kToneChannels; ++k) {
        EXPECT_EQ(ToneCoefficientQ14(kToneFrequencies[k]), expected[k]) << kToneFrequencies[k];
        EXPECT_EQ(ToneCoefficients()[k], expected[k]);
    }
    ToneBank bank;
    ToneBankReset(bank);
    for (int k = 0; k < kToneChannels; ++k) EXPECT_EQ(bank.coefficient_q14[k], expected[k]);
}

TEST(ToneAnalysis, SilenceGivesNoPowerAndNoKey) {
    const BlockResult r = Analyse({});
    EXPECT_EQ(r.mask, 0);
    EXPECT_EQ(r.key, '\0');
    for (int16_t p : r.power) EXPECT_EQ(p, 0);
}

class EveryKey : public ::testing::TestWithParam<char> {};

TEST_P(EveryKey, FoundAt4000And2400PerToneNotAt2000) {
    const char key = GetParam();
    const BlockResult loud = Analyse(KeyTones(key, 4000));
    EXPECT_EQ(loud.key, key);
    EXPECT_EQ(std::popcount(static_cast<unsigned>(loud.mask)), 2);
    EXPECT_EQ(Analyse(KeyTones(key, 2400)).key, key);
    EXPECT_EQ(Analyse(KeyTones(key, 2000)).key, '\0');
}

TEST_P(EveryKey, FoundWhateverThePhase) {
    const char key = GetParam();
    for (double phase : {0.3, 1.1, 2.5, 4.0}) {
        std::vector<Tone> tones = KeyTones(key, 4000);
        tones[0].phase = phase;
        tones[1].phase = 2 * phase;
        EXPECT_EQ(Analyse(tones).key, key) << phase;
    }
}

INSTANTIATE_TEST_SUITE_P(AllSixteen, EveryKey, ::testing::ValuesIn(kAllKeys.begin(), kAllKeys.end()),
                         [](const ::testing::TestParamInfo<char>& info) {
                             const char k = info.param;
                             return std::string(k == '*' ? "Star" : k == '#' ? "Hash" : std::string(1, k));
                         });

TEST(ToneAnalysis, NineSetsBitsTwoAndSix) {
    const BlockResult r = Analyse(KeyTones('9', 4000));
    EXPECT_EQ(r.mask, 0x44);
    EXPECT_EQ(r.key, '9');
    EXPECT_EQ(Analyse(KeyTones('9', 1000)).mask, 0);
}

TEST(ToneAnalysis, PatternsThatAreNotKeys) {
    EXPECT_EQ(Analyse({{852, 4000}}).mask, 0x04);
    EXPECT_EQ(Analyse({{852, 4000}}).key, '\0');
    EXPECT_EQ(Analyse({{697, 4000}, {770, 4000}}).mask, 0x03);
    EXPECT_EQ(Analyse({{697, 4000}, {770, 4000}}).key, '\0');
    EXPECT_EQ(Analyse({{1209, 4000}, {1633, 4000}}).mask, 0x90);
    EXPECT_EQ(Analyse({{1209, 4000}, {1633, 4000}}).key, '\0');
    EXPECT_EQ(Analyse({{852, 1000}}).mask, 0);
    EXPECT_EQ(Analyse({{697, 1000}, {770, 1000}}).mask, 0);
    const BlockResult three = Analyse({{697, 4000}, {1209, 4000}, {1336, 4000}});
    EXPECT_EQ(three.mask, 0x31);
    EXPECT_EQ(three.key, '\0');
}

TEST(ToneMaskToKey, OnlyOneLowAndOneHighBitMakeAKey) {
    int keys = 0;
    for (int mask = 0; mask <= 0xFFFF; ++mask) {
        const char out = ToneMaskToKey(static_cast<ToneMask>(mask));
        const bool one_low = std::popcount(unsigned(mask & 0x0F)) == 1;
        const bool one_high = std::popcount(unsigned(mask & 0xF0)) == 1;
        if (one_low && one_high && (mask & 0xFF00) == 0) {
            ++keys;
            EXPECT_EQ(out, ToneKeyTable[std::countr_zero(unsigned(mask))][std::countr_zero(unsigned(mask >> 4))]);
        } else {
            ASSERT_EQ(out, '\0') << std::hex << mask;
        }
    }
    EXPECT_EQ(keys, 16);
    EXPECT_EQ(ToneMaskToKey(0x44), '9');
    EXPECT_EQ(ToneMaskToKey(0x18), '*');
    EXPECT_EQ(ToneMaskToKey(0x88), 'D');
}

TEST(ToneBankDecide, ThresholdIsStrictlyGreater) {
    ToneBank bank;
    ToneBankReset(bank);
    // With delay2 = 0 the power is delay1^2 >> 14: 2048 gives exactly 256, 2052 gives 257.
    bank.filter[0].delay1 = 2048;
    bank.filter[3].delay1 = 2052;
    bank.filter[5].delay1 = -2052;
    bank.filter[7].delay1 = 2048;
    ToneMask mask = static_cast<ToneMask>(0x0181);  // stale bits: 0 and 7 cleared, 8 untouched
    ToneBankDecide(mask, bank, kToneThreshold);
    EXPECT_EQ(mask, 0x0128);
    for (const ToneFilter& f : bank.filter) {
        EXPECT_EQ(f.delay1, 0);
        EXPECT_EQ(f.delay2, 0);
    }
}

TEST(ToneFilterStep, SampleIsScaledByArithmeticShift) {
    const struct {
        int16_t sample;
        int16_t output;
    } cases[] = {{-1, -1}, {-128, -1}, {-129, -2}, {127, 0}, {128, 1}, {32767, 255}, {-32768, -256}};
    for (const auto& c : cases) {
        ToneFilter f{0, 0, 0};
        ToneFilterStep(f, c.sample, 15014);
        EXPECT_EQ(f.latest, c.output) << c.sample;
        EXPECT_EQ(f.delay1, c.output);
        EXPECT_EQ(f.delay2, 0);
    }
}

TEST(ToneFilterStep, RecurrenceAndSixteenBitWrap) {
    ToneFilter f{7, 100, 40};
    ToneFilterStep(f, 1280, -10564);  // (100 * -10564) >> 14 = -65 (rounds down), + 10 - 40
    EXPECT_EQ(f.latest, -95);
    EXPECT_EQ(f.delay1, -95);
    EXPECT_EQ(f.delay2, 100);
    // 30000 * 15014 >> 14 = 27491; + 0 + 30000 = 57491, which wraps to -8045.
    ToneFilter big{0, 30000, -30000};
    ToneFilterStep(big, 0, 15014);
    EXPECT_EQ(big.delay1, -8045);
    EXPECT_EQ(big.delay2, 30000);
}

TEST(ToneFilterPower, WrapsInsteadOfSaturating) {
    // 32767^2 >> 14 = 65532, read as a signed 16-bit word: -4.
    ToneFilter full{0, 32767, 0};
    EXPECT_EQ(ToneFilterPower(full, 15014), -4);
    // The 32-bit energy itself overflows here and must wrap.
    ToneFilter overflow{5, -32768, 32767};
    EXPECT_EQ(ToneFilterPower(overflow, -27471), 21187);
    EXPECT_EQ(overflow.latest, 5);
    EXPECT_EQ(overflow.delay1, 0);
    EXPECT_EQ(overflow.delay2, 0);
    ToneFilter mixed{0, 30000, -30000};
    EXPECT_EQ(ToneFilterPower(mixed, 15014), 29128);
}

TEST(ToneAnalysis, OverloadedChannelReadsAsAbsent) {
    // At 20000 the 852 Hz power is 23087; at 24000 it passes 32767 and wraps negative.
    const BlockResult strong = Analyse({{852, 20000}});
    EXPECT_EQ(strong.power[2], 23087);
    EXPECT_EQ(strong.mask, 0x04);
    const BlockResult overloaded = Analyse({{852, 24000}});
    EXPECT_EQ(overloaded.power[2], -32274);
    EXPECT_EQ(overloaded.mask, 0);
}

TEST(ToneBankFeed, NoSamplesForZeroOrNegativeCount) {
    const std::vector<int16_t> samples = Synthesize(KeyTones('5', 8000), kBlockSamples);
    for (int16_t count : {int16_t{0}, int16_t{-1}, int16_t{-32768}}) {
        ToneBank bank;
        ToneBankReset(bank);
        ToneBankFeed(samples.data(), bank, count);
        for (const ToneFilter& f : bank.filter) {
            EXPECT_EQ(f.latest, 0);
            EXPECT_EQ(f.delay1, 0);
            EXPECT_EQ(f.delay2, 0);
        }
        ToneMask mask = 0;
        ToneBankDecide(mask, bank, kToneThreshold);
        EXPECT_EQ(mask, 0);
    }
}

TEST(ToneAnalyseBlock, ReadsLittleEndianSamples) {
    // The pair of 9 written low byte first; read the other way round the
    // bytes are noise and give no key.
    const std::vector<uint8_t> bytes = ToLittleEndian(Synthesize(KeyTones('9', 4000), kBlockSamples));
    EXPECT_EQ(ToneAnalyseBlock(bytes.data()), '9');
    std::vector<uint8_t> swapped(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        swapped[i] = bytes[i + 1];
        swapped[i + 1] = bytes[i];
    }
    EXPECT_EQ(ToneAnalyseBlock(swapped.data()), '\0');
}
