// The press tracker on key plans heard under the conditions recordings are
// made under, read through dtmf-scan's input path, and on synthetic speech.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "decode.h"
#include "key_plans.h"
#include "press_tracker.h"

namespace tonetest {

// Test names and messages show the condition's name.
void PrintTo(const Condition& condition, std::ostream* out) { *out << condition.name; }

}

namespace {

using namespace tonetest;
using tonescan::PressTracker;

std::vector<HeardPress> Heard(const PressTracker& tracker) {
    std::vector<HeardPress> heard;
    for (const tonescan::TrackedPress& p : tracker.Presses()) {
        heard.push_back({p.key, double(p.start) / tonescan::kTrackerRate, double(p.end) / tonescan::kTrackerRate});
    }
    return heard;
}

std::vector<int16_t> ReadSpeech() {
    std::ifstream file(TONEWATCH_SPEECH_FILE, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<int16_t> speech(bytes.size() / 2);
    std::memcpy(speech.data(), bytes.data(), 2 * speech.size());
    return speech;
}

std::string TestName(const char* condition) {
    std::string name;
    for (const char* p = condition; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
        if (*p == '-' && name.empty()) name += "minus";
        if (*p == '+') name += "plus";
    }
    return name;
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/press_tracker_test_XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class PressTrackerConditions : public testing::TestWithParam<Condition> {};

// Every key, once, within 5 ms at both ends; nothing for what is no key.
TEST_P(PressTrackerConditions, HearsEveryKeyOnceAndNothingElse) {
    const Condition& c = GetParam();
    const Plan plan = MakePlan(c.shape, 100, 17);
    const std::vector<int16_t> audio = Hear(c, plan, 5);
    ASSERT_FALSE(audio.empty()) << "sox failed";
    TempDir dir;
    ASSERT_TRUE(WriteWav(dir.File("plan.wav"), audio, c.rate, c.channels));
    PressTracker tracker;
    const std::string error = tonescan::DecodeForScan(
        dir.File("plan.wav"), -1, std::nullopt, {.samples = [&](std::span<const int16_t> s) { tracker.Feed(s); }},
        {.rate = tonescan::kTrackerRate}).text;
    ASSERT_EQ(error, "");
    tracker.Finish();
    const Score score = ScoreByTime(plan, Heard(tracker));
    if (!plan.keys_expected) {
        EXPECT_EQ(tracker.Presses().size(), 0u);
        return;
    }
    EXPECT_EQ(score.hits, 1600);
    EXPECT_EQ(score.false_keys, 0);
    EXPECT_EQ(score.duplicates, 0);
    EXPECT_EQ(score.mistimed, 0);
    EXPECT_LE(score.worst_start, kTimeTolerance);
    EXPECT_LE(score.worst_end, kTimeTolerance);
}

INSTANTIATE_TEST_SUITE_P(Recordings, PressTrackerConditions, testing::ValuesIn(Conditions()),
                         [](const testing::TestParamInfo<Condition>& info) { return TestName(info.param.name); });

class PressTrackerCalls : public testing::TestWithParam<Condition> {};

// What calls hold besides the keys, eight presses of each key: every key
// once, nothing else.
TEST_P(PressTrackerCalls, HearsEveryKeyOnce) {
    const Condition& c = GetParam();
    const Plan plan = MakePlan(c.shape, 8, 23);
    const std::vector<int16_t> speech = c.under == Under::kSpeech ? ReadSpeech() : std::vector<int16_t>{};
    ASSERT_TRUE(c.under != Under::kSpeech || speech.size() > 60u * 8000) << "no speech in " << TONEWATCH_SPEECH_FILE;
    const std::vector<int16_t> audio = Hear(c, plan, 5, speech);
    ASSERT_FALSE(audio.empty()) << "sox failed";
    PressTracker tracker;
    tracker.Feed(audio);
    tracker.Finish();
    const Score score = ScoreByTime(plan, Heard(tracker));
    EXPECT_EQ(score.hits, 128);
    EXPECT_EQ(score.false_keys, 0);
    EXPECT_EQ(score.duplicates, 0);
}

std::vector<Condition> CallsHeardWhole() {
    std::vector<Condition> heard;
    for (const Condition& c : CallConditions()) {
        const std::string name = c.name;
        if (name.starts_with("speech") || name.starts_with("music") || name.find("hum") != std::string::npos ||
            name.find("DC") != std::string::npos || name.starts_with("lost") || name.starts_with("echo") ||
            name == "AMR-NB 4.75" || name == "GSM 06.10 150 ms" || name == "Opus 8 kbit/s" || name == "noise 0 dB SNR") {
            heard.push_back(c);
        }
    }
    return heard;
}

INSTANTIATE_TEST_SUITE_P(Calls, PressTrackerCalls, testing::ValuesIn(CallsHeardWhole()),
                         [](const testing::TestParamInfo<Condition>& info) { return TestName(info.param.name); });

// White noise as strong as the tones leaves them half the power; every key
// is heard once all the same, in noise drawn anew for each plan.
TEST(PressTracker, HearsEveryKeyInNoiseAsStrongAsTheTones) {
    const auto calls = CallConditions();
    const auto c = std::find_if(calls.begin(), calls.end(), [](const Condition& x) { return x.snr_db == 0.0; });
    ASSERT_NE(c, calls.end());
    for (const uint32_t seed : {1u, 2u, 3u, 4u}) {
        const Plan plan = MakePlan(c->shape, 8, seed);
        PressTracker tracker;
        tracker.Feed(Hear(*c, plan, seed));
        tracker.Finish();
        const Score score = ScoreByTime(plan, Heard(tracker));
        EXPECT_EQ(score.hits, 128) << "seed " << seed;
        EXPECT_EQ(score.false_keys + score.duplicates, 0) << "seed " << seed;
    }
}

// Minutes of espeak-ng speech in many voices, made once per build tree by
// the test fixture; at peaks of 0 and -6 dBFS, no key at all.
TEST(PressTracker, HearsNoKeyInSpeech) {
    const std::vector<int16_t> speech = ReadSpeech();
    ASSERT_GT(speech.size(), 60u * 8000) << "no speech in " << TONEWATCH_SPEECH_FILE;
    for (const double gain : {1.0, 0.5}) {
        std::vector<int16_t> scaled(speech.size());
        std::transform(speech.begin(), speech.end(), scaled.begin(),
                       [&](int16_t s) { return static_cast<int16_t>(std::lround(s * gain)); });
        PressTracker tracker;
        tracker.Feed(scaled);
        tracker.Finish();
        std::string keys;
        for (const tonescan::TrackedPress& p : tracker.Presses()) keys += p.key;
        EXPECT_EQ(keys, "") << "at gain " << gain;
    }
}

}
