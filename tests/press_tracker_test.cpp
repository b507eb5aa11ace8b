// The press tracker fed in pieces and cut off by the end of its stream, and
// its kernels against their definitions. Conditions, speech and music are in
// press_tracker_conditions_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "key_plans.h"
#include "press_tracker.h"
#include "press_tracker_kernel.h"
#include "tone_signals.h"

namespace {

using tonetest::KeyTones;
using tonetest::MakePlan;
using tonetest::Plan;
using tonetest::Render;
using tonetest::Synthesize;
using tonetest::ToPcm;
using tonescan::PressTracker;

TEST(PressTracker, SamplesFedInAnyPiecesGiveTheSamePresses) {
    const Plan plan = MakePlan({}, 4, 3);
    const std::vector<int16_t> audio = ToPcm(Render(plan, tonescan::kTrackerRate));
    PressTracker whole;
    whole.Feed(audio);
    whole.Finish();
    PressTracker pieces;
    std::mt19937 random(9);
    for (std::size_t at = 0; at < audio.size();) {
        const std::size_t n = std::min(audio.size() - at, std::uniform_int_distribution<std::size_t>(0, 700)(random));
        pieces.Feed(std::span(audio).subspan(at, n));
        at += n;
    }
    pieces.Finish();
    ASSERT_EQ(whole.Presses().size(), 64u);
    ASSERT_EQ(pieces.Presses().size(), whole.Presses().size());
    for (std::size_t i = 0; i < whole.Presses().size(); ++i) {
        EXPECT_EQ(pieces.Presses()[i].key, whole.Presses()[i].key);
        EXPECT_EQ(pieces.Presses()[i].start, whole.Presses()[i].start);
        EXPECT_EQ(pieces.Presses()[i].end, whole.Presses()[i].end);
        // To the last bit: each sub-block's window is made alike whichever
        // batch it falls in.
        EXPECT_EQ(pieces.Presses()[i].low_dbfs, whole.Presses()[i].low_dbfs);
        EXPECT_EQ(pieces.Presses()[i].high_dbfs, whole.Presses()[i].high_dbfs);
    }
    EXPECT_EQ(pieces.Samples(), static_cast<int64_t>(audio.size()));
}

// Runs of tone windows are followed for those who ask (the redactor), one
// per press here; a detector that only reports presses keeps none, which
// would otherwise pile up for as long as the stream goes on.
TEST(PressTracker, FollowsRunsOnlyWhenAsked) {
    const Plan plan = MakePlan({}, 1, 5);
    const std::vector<int16_t> audio = ToPcm(Render(plan, tonescan::kTrackerRate));
    for (const bool follow : {false, true}) {
        PressTracker tracker;
        if (follow) tracker.FollowRuns();
        tracker.Feed(audio);
        tracker.Finish();
        EXPECT_EQ(tracker.Presses().size(), 16u) << follow;
        EXPECT_EQ(tracker.Runs().size(), follow ? 16u : 0u);
    }
}

// A press still going when the stream ends ends with it.
TEST(PressTracker, APressCutOffByTheEndEndsThere) {
    const std::vector<int16_t> audio = Synthesize(KeyTones('5', 8000), 2000, tonescan::kTrackerRate);
    PressTracker tracker;
    tracker.Feed(audio);
    tracker.Finish();
    ASSERT_EQ(tracker.Presses().size(), 1u);
    EXPECT_EQ(tracker.Presses()[0].key, '5');
    EXPECT_LE(tracker.Presses()[0].start, 40);
    EXPECT_EQ(tracker.Presses()[0].end, 2000);
}

// A codec may garble a short key's first frame so that the high tone comes
// late: a 40 ms key whose high tone is weak or missing for 28 ms leaves three
// windows clean enough to start a press and one that only holds it, which
// still make a press.
TEST(PressTracker, HearsAShortKeyWhoseHighToneComesLate) {
    for (const double weak : {0.1, 0.0}) {
        const double a = tonetest::Amplitude(-10);
        std::vector<int16_t> audio(800, 0);
        const auto append = [&](const std::vector<int16_t>& part) {
            audio.insert(audio.end(), part.begin(), part.end());
        };
        append(Synthesize({{770, a}, {1336, weak * a}}, 224, tonescan::kTrackerRate));
        append(Synthesize({{770, a}, {1336, a}}, 96, tonescan::kTrackerRate, 224));
        audio.resize(audio.size() + 800, 0);
        PressTracker tracker;
        tracker.Feed(audio);
        tracker.Finish();
        ASSERT_EQ(tracker.Presses().size(), 1u) << "high tone at " << weak;
        EXPECT_EQ(tracker.Presses()[0].key, '5');
        EXPECT_NEAR(tracker.Presses()[0].start, 800, 16);
        EXPECT_NEAR(tracker.Presses()[0].end, 1120, 8);
    }
}

// A codec may code one tone of a key much weaker for a frame, or drop it for
// some milliseconds; the press goes on while the other tone does, even where
// the weak one was the stronger of the two.
TEST(PressTracker, APressGoesOnWhileOneToneIsWeak) {
    struct Case {
        double high_db;  // the high tone meanwhile, against its level before
        int samples;     // for how long, up to the key's end
    };
    for (const Case c : {Case{-20, 160}, Case{-200, 96}}) {
        const double a = tonetest::Amplitude(-16);
        std::vector<int16_t> audio(800, 0);
        const auto append = [&](const std::vector<int16_t>& part) {
            audio.insert(audio.end(), part.begin(), part.end());
        };
        append(Synthesize({{770, a}, {1336, 2 * a}}, 320, tonescan::kTrackerRate));
        append(Synthesize({{770, a}, {1336, 2 * a * std::pow(10, c.high_db / 20)}}, c.samples, tonescan::kTrackerRate,
                          320));
        const auto end = static_cast<int64_t>(audio.size());
        audio.resize(audio.size() + 800, 0);
        PressTracker tracker;
        tracker.Feed(audio);
        tracker.Finish();
        ASSERT_EQ(tracker.Presses().size(), 1u) << c.high_db << " dB";
        EXPECT_EQ(tracker.Presses()[0].key, '5');
        EXPECT_NEAR(tracker.Presses()[0].end, end, 32) << c.high_db << " dB";
    }
}

// A codec may also garble both tones for some milliseconds, most often at a
// key's start: up to two sub-blocks (8 ms) where both are weak and most of
// the power is elsewhere are taken into the press, if the tones come back on
// their other side.
TEST(PressTracker, APressBridgesBothTonesGarbledForUpToTwoSubBlocks) {
    struct Case {
        int garbled;  // samples of both tones 15 dB weaker beside 1000 Hz, 4 ms after the start
        int64_t start;
    };
    for (const Case c : {Case{32, 800}, Case{64, 800}, Case{96, 928}}) {
        const double a = tonetest::Amplitude(-10), weak = a * std::pow(10, -15.0 / 20);
        std::vector<int16_t> audio(800, 0);
        const auto append = [&](const std::vector<int16_t>& part) {
            audio.insert(audio.end(), part.begin(), part.end());
        };
        std::vector<tonetest::Tone> garbled = KeyTones('5', weak);
        garbled.push_back({1000, a});
        append(Synthesize(KeyTones('5', a), 32, tonescan::kTrackerRate));
        append(Synthesize(garbled, c.garbled, tonescan::kTrackerRate, 32));
        append(Synthesize(KeyTones('5', a), 480 - 32 - c.garbled, tonescan::kTrackerRate, 32 + c.garbled));
        audio.resize(audio.size() + 800, 0);
        PressTracker tracker;
        tracker.Feed(audio);
        tracker.Finish();
        ASSERT_EQ(tracker.Presses().size(), 1u) << c.garbled;
        EXPECT_EQ(tracker.Presses()[0].key, '5');
        EXPECT_NEAR(tracker.Presses()[0].start, c.start, 12) << c.garbled;
        EXPECT_NEAR(tracker.Presses()[0].end, 1280, 12) << c.garbled;
    }
}

// A codec may code a key's second 20 ms frame far weaker than its first;
// the press goes on to the end of the tones.
TEST(PressTracker, APressGoesOnWhereBothTonesGrowWeaker) {
    for (const double db : {-10.0, -16.0}) {
        const double a = tonetest::Amplitude(-6), weaker = a * std::pow(10, db / 20);
        std::vector<int16_t> audio(800, 0);
        const auto append = [&](const std::vector<int16_t>& part) {
            audio.insert(audio.end(), part.begin(), part.end());
        };
        append(Synthesize(KeyTones('5', a), 160, tonescan::kTrackerRate));
        append(Synthesize(KeyTones('5', weaker), 160, tonescan::kTrackerRate, 160));
        audio.resize(audio.size() + 800, 0);
        PressTracker tracker;
        tracker.Feed(audio);
        tracker.Finish();
        ASSERT_EQ(tracker.Presses().size(), 1u) << db << " dB";
        EXPECT_EQ(tracker.Presses()[0].key, '5');
        EXPECT_NEAR(tracker.Presses()[0].end, 1120, 32) << db << " dB";
    }
}

// Where a key's two tones hold nearly all the power, the high one may be
// 20 dB under the low one, as GSM 06.10 codes some keys, but not 26 dB. A
// key's tones hold still: tones gliding across its frequencies, as a slow
// sweep does, are no key once they move by more than 1.5% between the
// windows that the press's start and end are measured on.
TEST(PressTracker, HearsAKeyWithWeakHighToneButNoGlide) {
    struct Case {
        double twist_db;
        double glide;  // from f (1 - glide / 2) to f (1 + glide / 2)
        std::size_t presses;
    };
    for (const Case c : {Case{-20, 0, 1}, Case{-26, 0, 0}, Case{0, 0.01, 1}, Case{0, 0.02, 0}}) {
        constexpr int kSamples = 1600;
        const double seconds = double(kSamples) / tonescan::kTrackerRate, a = tonetest::Amplitude(-10);
        std::vector<int16_t> audio(800 + kSamples + 800, 0);
        for (int i = 0; i < kSamples; ++i) {
            const double t = double(i) / tonescan::kTrackerRate;
            double v = 0;
            for (const auto& [f, amplitude] : {std::pair{697.0, a}, {1477.0, a * std::pow(10, c.twist_db / 20)}}) {
                const double from = f * (1 - c.glide / 2), to = f * (1 + c.glide / 2);
                v += amplitude * std::sin(2 * std::numbers::pi * (from * t + (to - from) * t * t / (2 * seconds)));
            }
            audio[static_cast<std::size_t>(800 + i)] = static_cast<int16_t>(std::lround(v));
        }
        PressTracker tracker;
        tracker.Feed(audio);
        tracker.Finish();
        EXPECT_EQ(tracker.Presses().size(), c.presses) << c.twist_db << " dB, glide " << c.glide;
    }
}

// Each press carries its tones' levels, as a meter reading the peaks of
// sines would show them, at any level and twist, and slightly mistuned.
TEST(PressTracker, GivesEachTonesLevel) {
    struct Case {
        double low_dbfs, high_dbfs, detune;
    };
    for (const Case c : {Case{-10, -10, 0}, Case{-30, -24, 0}, Case{-4, -12, 0}, Case{-40, -42, 0.015}, Case{-10, -12, -0.015}}) {
        const std::vector<int16_t> audio =
            Synthesize({{852 * (1 + c.detune), tonetest::Amplitude(c.low_dbfs)},
                        {1477 * (1 + c.detune), tonetest::Amplitude(c.high_dbfs)}},
                       800, tonescan::kTrackerRate);
        PressTracker tracker;
        tracker.Feed(audio);
        tracker.Finish();
        ASSERT_EQ(tracker.Presses().size(), 1u) << c.low_dbfs << "/" << c.high_dbfs;
        EXPECT_NEAR(tracker.Presses()[0].low_dbfs, c.low_dbfs, 0.5) << c.low_dbfs << "/" << c.high_dbfs;
        EXPECT_NEAR(tracker.Presses()[0].high_dbfs, c.high_dbfs, 0.5) << c.low_dbfs << "/" << c.high_dbfs;
    }
}

// A lost frame or two inside a tone (up to 20 ms of silence), or an echo of
// the tone up to 10 dB down and 50 ms late, leave one press; a pause of
// 40 ms or more between two presses of a key leaves two.
TEST(PressTracker, GapsAndEchoesInsideAKeyLeaveOnePress) {
    struct Case {
        int gap;       // samples of silence in the middle of 240 ms of tones
        int echo;      // samples late, at -10 dB; 0 for none
        std::size_t presses;
    };
    for (const Case c : {Case{80, 0, 1}, Case{160, 0, 1}, Case{320, 0, 2}, Case{480, 0, 2}, Case{0, 240, 1},
                         Case{0, 400, 1}}) {
        const double a = tonetest::Amplitude(-10);
        std::vector<double> audio(800 + 1920 + c.gap + 1600, 0.0);
        const std::vector<int16_t> tones = Synthesize(KeyTones('8', a), 1920 + c.gap, tonescan::kTrackerRate);
        for (int i = 0; i < 1920 + c.gap; ++i) {
            if (i < 960 || i >= 960 + c.gap) audio[static_cast<std::size_t>(800 + i)] = tones[static_cast<std::size_t>(i)];
        }
        if (c.echo > 0) {
            for (std::size_t i = audio.size(); i-- > static_cast<std::size_t>(c.echo);) {
                audio[i] += std::pow(10, -10.0 / 20) * audio[i - static_cast<std::size_t>(c.echo)];
            }
        }
        PressTracker tracker;
        tracker.Feed(ToPcm(audio));
        tracker.Finish();
        ASSERT_EQ(tracker.Presses().size(), c.presses) << "gap " << c.gap << ", echo " << c.echo;
        EXPECT_NEAR(tracker.Presses().front().start, 800, 8) << "gap " << c.gap << ", echo " << c.echo;
        // The echo's end may or may not be taken in.
        EXPECT_GE(tracker.Presses().back().end, 800 + 1920 + c.gap - 8) << "gap " << c.gap << ", echo " << c.echo;
        EXPECT_LE(tracker.Presses().back().end, 800 + 1920 + c.gap + c.echo + 8) << "gap " << c.gap << ", echo " << c.echo;
    }
}

TEST(PressTrackerKernels, EveryKernelGivesThePortableResult) {
    const auto kernels = tonescan::TrackerKernels();
    ASSERT_GE(kernels.size(), 1u);
    EXPECT_STREQ(kernels[0].name, "portable");
#if defined(__x86_64__)
    // A build that leaves the vector kernels out runs several times slower
    // and still passes every other test.
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f");
    const bool avx512bw = avx512 && __builtin_cpu_supports("avx512bw");
    const struct {
        const char* name;
        bool offered;
    } expected_kernels[] = {
        {"avx2", __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")},
        {"avx512", avx512},
        {"avx512bw", avx512bw},
        {"avx512vnni", avx512bw && __builtin_cpu_supports("avx512vnni")},
    };
    for (const auto& k : expected_kernels) {
        const bool found = std::any_of(kernels.begin(), kernels.end(),
                                       [&](const tonescan::TrackerKernel& kernel) { return kernel.name == std::string(k.name); });
        EXPECT_EQ(found, k.offered) << k.name;
    }
#endif
    constexpr std::size_t kBlocks = 40;
    std::vector<int16_t> samples(kBlocks * tonescan::kTrackerSubBlock);
    std::mt19937 random(1);
    for (int16_t& s : samples) s = static_cast<int16_t>(std::uniform_int_distribution<int>(-32768, 32767)(random));
    // Full scale of either sign, and one sub-block whose folds are of the
    // sign that makes the first sum largest.
    std::fill_n(samples.begin() + 32, 32, int16_t{-32768});
    std::fill_n(samples.begin() + 64, 32, int16_t{32767});
    for (int m = 0; m < tonescan::kTrackerFolds; ++m) {
        samples[96 + m] = samples[96 + 31 - m] = tonescan::TrackerCorrelationTable()[m][0] < 0 ? -32768 : 32767;
    }
    std::vector<int32_t> expected(kBlocks * tonescan::kTrackerOutputs), out(expected.size());
    std::vector<int64_t> expected_energy(kBlocks), energy(kBlocks);
    kernels[0].correlate(samples.data(), kBlocks, expected.data(), expected_energy.data());
    for (const tonescan::TrackerKernel& kernel : kernels) {
        kernel.correlate(samples.data(), kBlocks, out.data(), energy.data());
        EXPECT_EQ(out, expected) << kernel.name;
        EXPECT_EQ(energy, expected_energy) << kernel.name;
    }
    EXPECT_EQ(expected_energy[1], 32LL * 32768 * 32768);
}

// The sums stay within 32 bits whatever the samples: the largest one, with
// every half sum or difference at full scale of its coefficient's sign, fits.
TEST(PressTrackerKernels, NoSumCanOverflow) {
    for (int r = 0; r < tonescan::kTrackerOutputs; ++r) {
        int64_t worst = 0;
        for (int m = 0; m < tonescan::kTrackerFolds; ++m) {
            worst += 32768LL * std::abs(tonescan::TrackerCorrelationTable()[m][r]);
        }
        EXPECT_LE(worst, INT32_MAX) << "output " << r;
    }
}

TEST(PressTrackerKernels, EveryRecursionIsGoertzels) {
    std::vector<float> samples(tonescan::kTrackerProbeSamples);
    std::mt19937 random(2);
    for (float& s : samples) s = std::uniform_real_distribution<float>(-32768, 32767)(random);
    std::vector<float> coefficient(tonescan::kTrackerProbes);
    for (std::size_t p = 0; p < coefficient.size(); ++p) coefficient[p] = 2 * std::cos(0.05f + 0.06f * p);
    std::vector<double> expected_last(coefficient.size()), expected_before(coefficient.size());
    for (std::size_t p = 0; p < coefficient.size(); ++p) {
        double s1 = 0, s2 = 0;
        for (const float x : samples) {
            const double s0 = x + coefficient[p] * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        expected_last[p] = s1;
        expected_before[p] = s2;
    }
    std::vector<float> last(coefficient.size()), before(coefficient.size());
    for (const tonescan::TrackerKernel& kernel : tonescan::TrackerKernels()) {
        kernel.recurse(samples.data(), coefficient.data(), last.data(), before.data());
        for (std::size_t p = 0; p < coefficient.size(); ++p) {
            EXPECT_NEAR(last[p], expected_last[p], 1e-3 * std::abs(expected_last[p]) + 10) << kernel.name << " " << p;
            EXPECT_NEAR(before[p], expected_before[p], 1e-3 * std::abs(expected_before[p]) + 10) << kernel.name << " " << p;
        }
    }
}

}

// What comes before a key's tones or with its first windows: a voice over
// its first 40 ms, a codec's weak first frame with the high tone off its key
// frequency, another note before it, or one of its own tones held on before
// the other joins. Every part keeps the phase of each frequency, as a held
// note does.
TEST(PressTracker, HearsKeysPastWhatCrowdsTheirStartButNotNotesJoinedLater) {
    using Tones = std::vector<tonetest::Tone>;
    struct Part {
        Tones tones;
        int samples;
    };
    struct Case {
        const char* name;
        std::vector<Part> parts;
        std::string keys;
    };
    const double a = tonetest::Amplitude(-10), voice = tonetest::Amplitude(-14);
    Tones voiced = {{770, a}, {1336, a}};
    for (int k = 1; k <= 3; ++k) voiced.push_back({180.0 * k, voice});
    const std::vector<Case> cases = {
        {"a voice over the first 40 ms", {{voiced, 320}, {{{770, a}, {1336, a}}, 880}}, "5"},
        {"the high tone 2% off for 25 ms", {{{{770, a / 2}, {1336 * 1.02, a / 2}}, 200}, {{{770, a}, {1336, a}}, 1000}}, "5"},
        {"another note before", {{{{941, a}}, 1200}, {{{697, a}, {1477, a}}, 800}}, "3"},
        {"the low tone 20 dB under before", {{{{697, a / 10}}, 1200}, {{{697, a}, {1477, a}}, 800}}, "3"},
        {"the low tone held on before", {{{{697, a}}, 1200}, {{{697, a}, {1477, a}}, 800}}, ""},
        {"the high tone held on before", {{{{1477, a}}, 1200}, {{{697, a}, {1477, a}}, 800}}, ""},
        {"the low tone 10 dB louder alone before", {{{{697, 3.16 * a}}, 1200}, {{{697, a}, {1477, a}}, 800}}, "3"},
        {"the high tone 8 dB louder over the low before, beside a 400 Hz note",
         {{{{697, a / 2.5}, {1477, 2.5 * a}, {400, 2.5 * a}}, 800},
          {{{697, a}, {1477, a}, {400, 1.5 * a}}, 320},
          {{{697, a}, {1477, a}}, 800}},
         ""},
    };
    for (const Case& c : cases) {
        std::vector<int16_t> audio(800, 0);
        int at = 0;
        for (const Part& part : c.parts) {
            const std::vector<int16_t> samples = Synthesize(part.tones, part.samples, tonescan::kTrackerRate, at);
            audio.insert(audio.end(), samples.begin(), samples.end());
            at += part.samples;
        }
        audio.resize(audio.size() + 800, 0);
        PressTracker tracker;
        tracker.Feed(audio);
        tracker.Finish();
        std::string keys;
        for (const tonescan::TrackedPress& p : tracker.Presses()) keys += p.key;
        EXPECT_EQ(keys, c.keys) << c.name;
    }
}
