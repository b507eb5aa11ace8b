// The tone phone as a host meets it, through libtonedial. ALSA renders each dial
// into a file (alsa-file-playback.conf); the file is held against the figures
// in the README and decoded by multimon-ng and by the detector's own analysis.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "press_scanner.h"
#include "tone_analysis.h"
#include "tone_signals.h"
#include "tonedial.h"

namespace {

// The README's figures: per key 150 ms of tone then 150 ms of silence, any
// other unit 300 ms of silence; low tone -10 dBFS, high tone -8.5 dBFS.
constexpr int kRate = 8000;
constexpr int kToneFrames = 1200;
constexpr int kSlotFrames = 2400;
constexpr double kLowDbfs = -10.0;
constexpr double kHighDbfs = -8.5;
constexpr double kPeakLimit = 22677.0;
// Measured edges may sit inside the ramps: allow 1 ms.
constexpr int kEdgeFrames = 8;

// Runs a shell command and returns its output.
std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    EXPECT_EQ(pclose(pipe), 0) << command << " failed (scripts/install-deps installs sox and multimon-ng)";
    return output;
}

std::vector<int16_t> ReadRaw(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                                                static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    }
    return samples;
}

// The stretches of a recording that hold tone, as [begin, end) frames; the few
// zero samples where a tone pair crosses zero do not split a stretch.
std::vector<std::pair<int, int>> ToneStretches(const std::vector<int16_t>& samples) {
    std::vector<std::pair<int, int>> stretches;
    for (int i = 0; i < static_cast<int>(samples.size()); ++i) {
        if (samples[i] == 0) continue;
        if (!stretches.empty() && i - stretches.back().second < 80) {
            stretches.back().second = i + 1;
        } else {
            stretches.push_back({i, i + 1});
        }
    }
    return stretches;
}

// Level in dBFS of the component at `frequency` in samples [begin, end).
double LevelDbfs(const std::vector<int16_t>& samples, int begin, int end, double frequency) {
    std::complex<double> sum;
    for (int i = begin; i < end; ++i) {
        sum += double(samples[i]) * std::polar(1.0, -2.0 * std::numbers::pi * frequency * i / kRate);
    }
    return 20.0 * std::log10(2.0 * std::abs(sum) / (end - begin) / 32767.0);
}

// Keys the detector registers in 4000 Hz audio, its blocks starting `offset`
// samples before the audio does.
std::string DetectorKeys(const std::vector<int16_t>& samples, int offset) {
    std::vector<int16_t> audio(offset, 0);
    audio.insert(audio.end(), samples.begin(), samples.end());
    audio.resize(audio.size() + tonewatch::kBlockSamples, 0);
    tonescan::PressScanner scanner;
    scanner.Feed(audio);
    scanner.Finish();
    return scanner.Keys();
}

class ToneRendering : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tonedial-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("ALSA_CONFIG_PATH", TONEDIAL_TEST_DIR "/alsa-file-playback.conf", 1);
        setenv("TONEDIAL_PLAYBACK_FILE", Path("dial.raw").c_str(), 1);
    }

    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const char* name) const { return dir_ + "/" + name; }

    // Dials and returns what reached the device.
    std::vector<int16_t> Dial(const char16_t* digits) {
        EXPECT_EQ(PhoneDTMF(digits), 999);
        return ReadRaw(Path("dial.raw"));
    }

    std::vector<int16_t> Resampled(int rate) {
        RunCommand("sox -t raw -r 8000 -e signed -b 16 -c 1 " + Path("dial.raw") + " -t raw -r " +
                   std::to_string(rate) + " -e signed -b 16 -c 1 " + Path("resampled.raw"));
        return ReadRaw(Path("resampled.raw"));
    }

    // multimon-ng reads raw input at 22050 Hz only.
    std::string MultimonKeys() {
        Resampled(22050);
        std::string keys;
        const std::string text = RunCommand("multimon-ng -q -a DTMF -t raw " + Path("resampled.raw"));
        for (std::size_t at = text.find("DTMF: "); at != std::string::npos; at = text.find("DTMF: ", at + 1)) {
            keys += text[at + 6];
        }
        return keys;
    }

    std::string dir_;
};

TEST_F(ToneRendering, MultimonDecodesEveryKeyAndRepeat) {
    const std::pair<const char16_t*, const char*> dials[] = {
        {u"0123456789*#ABCD", "0123456789*#ABCD"},
        {u"1122#", "1122#"},
        {u"abcd", "ABCD"},
        {u"9 x9", "99"},
    };
    for (const auto& [digits, heard] : dials) {
        SCOPED_TRACE(heard);
        Dial(digits);
        EXPECT_EQ(MultimonKeys(), heard);
    }
}

TEST_F(ToneRendering, DetectorFindsEveryKeyAtAnyBlockAlignment) {
    Dial(u"0123456789*#ABCD1122##");
    const std::vector<int16_t> audio = Resampled(4000);
    for (int offset = 0; offset < tonewatch::kBlockSamples; offset += 10) {
        EXPECT_EQ(DetectorKeys(audio, offset), "0123456789*#ABCD1122##") << "offset " << offset;
    }
}

TEST_F(ToneRendering, TimingAndLevelsAreTheDocumentedOnes) {
    // 5, a pause, 9, 9: tone pairs 770+1336 Hz and 852+1477 Hz.
    const std::vector<int16_t> samples = Dial(u"5 99");
    ASSERT_EQ(samples.size(), 4u * kSlotFrames);
    const auto stretches = ToneStretches(samples);
    ASSERT_EQ(stretches.size(), 3u);
    const int slots[] = {0, 2, 3};
    for (int k = 0; k < 3; ++k) {
        const auto [begin, end] = stretches[k];
        EXPECT_NEAR(begin, slots[k] * kSlotFrames, kEdgeFrames) << "tone " << k;
        EXPECT_NEAR(end - begin, kToneFrames, kEdgeFrames) << "tone " << k;
        EXPECT_NEAR(((k < 2) ? stretches[k + 1].first : int(samples.size())) - end,
                    (k == 0 ? 2 * kSlotFrames : kSlotFrames) - kToneFrames, kEdgeFrames)
            << "silence after tone " << k;

        // The steady middle of the tone, clear of the ramps.
        const double low = LevelDbfs(samples, begin + 200, end - 200, k == 0 ? 770 : 852);
        const double high = LevelDbfs(samples, begin + 200, end - 200, k == 0 ? 1336 : 1477);
        EXPECT_NEAR(low, kLowDbfs, 0.2) << "tone " << k;
        EXPECT_NEAR(high, kHighDbfs, 0.2) << "tone " << k;
        EXPECT_GE(high - low, 0.0);
        EXPECT_LE(high - low, 2.0);
    }
    int peak = 0;
    for (int16_t s : samples) peak = std::max(peak, std::abs(int{s}));
    EXPECT_LE(peak, kPeakLimit);
    EXPECT_GT(peak, 0.9 * kPeakLimit);
}

TEST(NoPlayback, DialIsSilentAndStillSucceeds) {
    setenv("ALSA_CONFIG_PATH", TONEDIAL_TEST_DIR "/alsa-no-playback.conf", 1);
    EXPECT_EQ(PhoneDTMF(u"1#"), 999);
    EXPECT_EQ(PhoneDTMF(u""), 999);
}

// A dial that found no device must not leave the phone silent for the next.
TEST(NoPlayback, NextDialTriesTheDeviceAgain) {
    char pattern[] = "/tmp/tonedial-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    setenv("ALSA_CONFIG_PATH", TONEDIAL_TEST_DIR "/alsa-no-playback.conf", 1);
    EXPECT_EQ(PhoneDTMF(u"1"), 999);
    setenv("ALSA_CONFIG_PATH", TONEDIAL_TEST_DIR "/alsa-file-playback.conf", 1);
    setenv("TONEDIAL_PLAYBACK_FILE", (dir + "/dial.raw").c_str(), 1);
    EXPECT_EQ(PhoneDTMF(u"2"), 999);
    EXPECT_EQ(ReadRaw(dir + "/dial.raw").size(), std::size_t{kSlotFrames});
    std::filesystem::remove_all(dir);
}

}
