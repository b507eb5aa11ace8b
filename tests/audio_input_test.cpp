#include "decode.h"
#include "mix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tone_signals.h"

using tonescan::DecodeForScan;
using tonescan::FloatToSample;
using tonescan::RawFormat;
using tonetest::Synthesize;

namespace {

class AudioInput : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("audio_input_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string WriteRaw(const std::string& name, const std::vector<int16_t>& interleaved) {
        const std::string path = (dir_ / name).string();
        const std::vector<uint8_t> bytes = tonetest::ToLittleEndian(interleaved);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Decodes and returns the 4000/s samples; fails the test on an error.
    static std::vector<int16_t> Decode(const std::string& path, RawFormat raw) {
        std::vector<int16_t> out;
        const std::string error =
            DecodeForScan(path, -1, raw,
                          {.samples = [&](std::span<const int16_t> s) { out.insert(out.end(), s.begin(), s.end()); }})
                .text;
        EXPECT_EQ(error, "");
        return out;
    }

    static double Rms(const std::vector<int16_t>& samples, std::size_t from, std::size_t to) {
        double sum = 0.0;
        for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
        return std::sqrt(sum / static_cast<double>(to - from));
    }

    std::filesystem::path dir_;
};

}

TEST(FloatToSample, RoundsAndClipsToSixteenBits) {
    EXPECT_EQ(FloatToSample(0.0f), 0);
    EXPECT_EQ(FloatToSample(0.5f), 16384);
    EXPECT_EQ(FloatToSample(-1.0f), -32768);
    EXPECT_EQ(FloatToSample(1.0f), 32767);  // full scale clips by one step
    EXPECT_EQ(FloatToSample(3.0f), 32767);
    EXPECT_EQ(FloatToSample(-3.0f), -32768);
    EXPECT_EQ(FloatToSample(100.4f / 32768.0f), 100);
    EXPECT_EQ(FloatToSample(-100.6f / 32768.0f), -101);
    EXPECT_EQ(FloatToSample(std::numeric_limits<float>::infinity()), 32767);
    EXPECT_EQ(FloatToSample(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(FiniteSample, NanIsSilenceAndInfinityFullScale) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    EXPECT_EQ(tonescan::FiniteSample(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_EQ(tonescan::FiniteSample(-std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_EQ(tonescan::FiniteSample(kInfinity), 1.0f);
    EXPECT_EQ(tonescan::FiniteSample(-kInfinity), -1.0f);
    EXPECT_EQ(tonescan::FiniteSample(0.25f), 0.25f);
    EXPECT_EQ(tonescan::FiniteSample(-3.0f), -3.0f);  // clipped after the rate conversion, not here
}

TEST_F(AudioInput, FourThousandPerSecondPassesThroughUnchanged) {
    // Longer than one read chunk, with extremes and odd values.
    std::vector<int16_t> samples = Synthesize({{941, 12000}, {1633, 9000}}, 70001);
    samples[5] = -32768;
    samples[6] = 32767;
    samples[7] = -1;
    EXPECT_EQ(Decode(WriteRaw("mono.raw", samples), {4000, 1}), samples);
}

TEST_F(AudioInput, AveragesTheChannels) {
    const std::vector<int16_t> mono = Synthesize({{770, 8000}}, 1000);
    std::vector<int16_t> left_only;
    std::vector<int16_t> right_only;
    for (int16_t s : mono) {
        left_only.insert(left_only.end(), {static_cast<int16_t>(2 * s), 0});
        right_only.insert(right_only.end(), {0, static_cast<int16_t>(2 * s)});
    }
    EXPECT_EQ(Decode(WriteRaw("left.raw", left_only), {4000, 2}), mono);
    EXPECT_EQ(Decode(WriteRaw("right.raw", right_only), {4000, 2}), mono);
}

TEST_F(AudioInput, ConvertsTheRateWithoutDelayOrAliases) {
    constexpr int kSamples = 8000 * 2;
    const std::vector<int16_t> in_band = Decode(WriteRaw("in.raw", Synthesize({{1000, 10000}}, kSamples, 8000)), {8000, 1});
    ASSERT_NEAR(static_cast<double>(in_band.size()), kSamples / 2, 2);
    // Away from the edges the result is the same tone sampled at 4000/s.
    const std::vector<int16_t> expected = Synthesize({{1000, 10000}}, static_cast<int>(in_band.size()));
    double error = 0.0;
    for (std::size_t i = 200; i < in_band.size() - 200; ++i) error = std::max(error, std::fabs(in_band[i] - expected[i] + 0.0));
    EXPECT_LT(error, 100.0);

    // 3148 Hz would fold to 852 Hz; the low-pass must remove it instead.
    const std::vector<int16_t> above = Decode(WriteRaw("above.raw", Synthesize({{3148, 10000}}, kSamples, 8000)), {8000, 1});
    EXPECT_LT(Rms(above, 200, above.size() - 200), 10.0);
}

TEST_F(AudioInput, NamesWhatIsWrongWithAFile) {
    const auto error = [&](const std::string& path) {
        return DecodeForScan(path, -1, std::nullopt, {.samples = [](std::span<const int16_t>) {}}).text;
    };
    EXPECT_EQ(error((dir_ / "missing.wav").string()), "No such file or directory");
    EXPECT_EQ(error(dir_.string()), "is a directory");
    EXPECT_EQ(error(WriteRaw("empty.wav", {})), "file is empty");
    EXPECT_EQ(error(WriteRaw("noise.wav", Synthesize({{500, 3000}}, 400))).rfind("not a readable audio file: ", 0), 0u);
}

// Every rate conversion, integer and float, mono and two channels: the key
// frequencies pass at their level, and whatever would fold onto them at
// 4000/s (2340-3320 Hz) is stopped.
struct Conversion {
    int rate;
    int channels;
};

class RateConversion : public ::testing::TestWithParam<Conversion> {};

TEST_P(RateConversion, KeepsTheKeysAndStopsWhatWouldFoldOntoThem) {
    const Conversion c = GetParam();
    const std::string path = ::testing::TempDir() + "conversion_" + std::to_string(c.rate) + "_" + std::to_string(c.channels);
    const int frames = c.rate * 2;
    auto decode = [&](double frequency) {
        const std::vector<int16_t> mono = Synthesize({{frequency, 10000}}, frames, c.rate);
        std::vector<int16_t> interleaved;
        for (int16_t s : mono) interleaved.insert(interleaved.end(), static_cast<std::size_t>(c.channels), s);
        const std::vector<uint8_t> bytes = tonetest::ToLittleEndian(interleaved);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        std::vector<int16_t> out;
        EXPECT_EQ(DecodeForScan(path, -1, RawFormat{c.rate, c.channels},
                                {.samples = [&](std::span<const int16_t> s) { out.insert(out.end(), s.begin(), s.end()); }})
                      .text,
                  "");
        std::filesystem::remove(path);
        EXPECT_NEAR(static_cast<double>(out.size()), frames * 4000.0 / c.rate, 2.0);
        double sum = 0.0;
        for (std::size_t i = 400; i + 400 < out.size(); ++i) sum += static_cast<double>(out[i]) * out[i];
        return std::sqrt(sum / static_cast<double>(out.size() - 800));
    };
    for (int frequency : {697, 770, 852, 941, 1209, 1336, 1477, 1633}) {
        EXPECT_NEAR(decode(frequency), 10000 / std::sqrt(2.0), 70.0) << frequency << " Hz";
    }
    for (int frequency : {2340, 2523, 2800, 3148, 3320}) EXPECT_LT(decode(frequency), 10.0) << frequency << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Rates, RateConversion,
                         ::testing::Values(Conversion{8000, 1}, Conversion{8000, 2}, Conversion{11025, 1},
                                           Conversion{16000, 1}, Conversion{22050, 2}, Conversion{44056, 1},
                                           Conversion{44100, 2}, Conversion{48000, 1}, Conversion{88200, 1}),
                         [](const ::testing::TestParamInfo<Conversion>& info) {
                             return std::to_string(info.param.rate) + "_" + std::to_string(info.param.channels);
                         });

// With threads to spare, long 16-bit files are decoded in parts side by side
// where whole seconds hold whole periods of the rate ratio; other rates have
// the last step run on a thread of its own (the ratio decimator at 88200/s,
// libsoxr at 44056/s): either way the samples must be those of a decoding in
// order, also around the parts' boundaries.
struct SideBySide {
    int rate;
    int channels;
    int channel;  // 0: the mix
    int threads;
    int parts;    // expected: 0 when not decoded in parts
};

class DecodingSideBySide : public AudioInput, public ::testing::WithParamInterface<SideBySide> {};

TEST_P(DecodingSideBySide, GivesTheSamplesOfADecodingInOrder) {
    const SideBySide c = GetParam();
    // Parts are at least a minute long; they fit, and a remainder.
    const int frames = (c.parts > 0 ? (60 * c.parts + 5) * c.rate : 3 * c.rate) + 77;
    const std::vector<int16_t> left = Synthesize({{697, 9000}, {1633, 7000}, {3100, 5000}}, frames, c.rate);
    const std::vector<int16_t> right = Synthesize({{941, 12000}, {2500, 9000}}, frames, c.rate);
    std::vector<int16_t> interleaved;
    for (int i = 0; i < frames; ++i) {
        interleaved.push_back(left[static_cast<std::size_t>(i)]);
        if (c.channels == 2) interleaved.push_back(right[static_cast<std::size_t>(i)]);
    }
    const std::string path = WriteRaw("long.raw", interleaved);
    const RawFormat raw{c.rate, c.channels};
    const tonescan::ScanTarget target{.rate = tonescan::kScanRate, .channel = c.channel};

    std::vector<int16_t> in_order;
    ASSERT_EQ(DecodeForScan(path, -1, raw,
                            {.samples = [&](std::span<const int16_t> s) { in_order.insert(in_order.end(), s.begin(), s.end()); }},
                            target)
                  .text,
              "");

    std::vector<int16_t> samples;
    std::vector<std::vector<int16_t>> parts;
    std::vector<int> begun;
    ASSERT_EQ(DecodeForScan(path, -1, raw,
                            {.samples = [&](std::span<const int16_t> s) { samples.insert(samples.end(), s.begin(), s.end()); },
                             .threads = c.threads,
                             .parts_begin =
                                 [&](int count) {
                                     begun.push_back(count);
                                     parts.assign(static_cast<std::size_t>(count), {});
                                 },
                             .part_samples =
                                 [&](int part, std::span<const int16_t> s) {
                                     auto& to = parts[static_cast<std::size_t>(part)];
                                     to.insert(to.end(), s.begin(), s.end());
                                 }},
                            target)
                  .text,
              "");
    for (std::size_t k = 0; k < parts.size(); ++k) {
        // Each part but the last holds whole seconds, and the last no less.
        if (k + 1 < parts.size()) {
            EXPECT_EQ(parts[k].size() % tonescan::kScanRate, 0u) << k;
        }
        EXPECT_GE(parts.back().size(), parts[k].size()) << k;
        samples.insert(samples.end(), parts[k].begin(), parts[k].end());
    }
    EXPECT_EQ(begun, c.parts > 0 ? std::vector<int>{c.parts} : std::vector<int>{});
    ASSERT_EQ(samples.size(), in_order.size());
    EXPECT_TRUE(samples == in_order);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DecodingSideBySide,
                         ::testing::Values(SideBySide{8000, 1, 0, 2, 2}, SideBySide{8000, 1, 0, 3, 3},
                                           SideBySide{8000, 2, 0, 2, 2}, SideBySide{8000, 2, 2, 3, 3},
                                           SideBySide{4000, 1, 0, 3, 3}, SideBySide{4000, 2, 1, 2, 2},
                                           SideBySide{44100, 2, 0, 2, 2}, SideBySide{11025, 1, 0, 2, 2},
                                           SideBySide{48000, 2, 1, 2, 2}, SideBySide{88200, 1, 0, 2, 0},
                                           SideBySide{44056, 2, 0, 2, 0}),
                         [](const ::testing::TestParamInfo<SideBySide>& info) {
                             const SideBySide& c = info.param;
                             return std::to_string(c.rate) + "_" + std::to_string(c.channels) + "ch_channel" +
                                    std::to_string(c.channel) + "_threads" + std::to_string(c.threads);
                         });
