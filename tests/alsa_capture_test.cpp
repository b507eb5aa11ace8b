// The ALSA capture service driven through the seam, on ALSA configurations of
// this project's own: a file read through the `file` plugin at 4000/s, a
// device held at 48000/s, and no device at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture_recorder.h"
#include "capture_service.h"
#include "failing_device.h"
#include "tone_analysis.h"
#include "tone_signals.h"

using namespace tonewatch;
using capturetest::Block;
using capturetest::Footprint;
using capturetest::HeardKeys;
using capturetest::Recorder;
using capturetest::StartCapture;
using capturetest::StopAndClose;

namespace {

class AlsaCapture : public ::testing::Test {
protected:
    void UseConfig(const char* name) {
        setenv("ALSA_CONFIG_PATH", (std::string(TONEWATCH_ALSA_CONF_DIR) + "/" + name).c_str(), 1);
        unsetenv("TONEWATCH_CAPTURE_DEVICE");
    }

    void WriteInput(const std::vector<int16_t>& samples) {
        const std::vector<uint8_t> bytes = tonetest::ToLittleEndian(samples);
        input_bytes_ = bytes;
        std::ofstream(input_path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        setenv("TONEWATCH_TEST_INFILE", input_path_.c_str(), 1);
    }

    void TearDown() override { std::remove(input_path_.c_str()); }

    std::string input_path_ = testing::TempDir() + "tonewatch-alsa-input-" + std::to_string(getpid()) + ".raw";
    std::vector<uint8_t> input_bytes_;
};

std::vector<int16_t> Noise(int count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    std::vector<int16_t> samples(count);
    for (int16_t& s : samples) s = static_cast<int16_t>(sample(generator));
    return samples;
}

// Tone for each key then silence, at `rate`.
std::vector<int16_t> KeySequence(const std::string& keys, int rate, double tone_seconds, double gap_seconds) {
    std::vector<int16_t> samples;
    for (char key : keys) {
        const auto tone = tonetest::Synthesize(tonetest::KeyTones(key, 4000), static_cast<int>(tone_seconds * rate), rate);
        samples.insert(samples.end(), tone.begin(), tone.end());
        samples.insert(samples.end(), static_cast<std::size_t>(gap_seconds * rate), 0);
    }
    return samples;
}

TEST_F(AlsaCapture, StopHandsBackAPartlyFilledBufferWithItsTailUntouched) {
    UseConfig("file.conf");
    WriteInput(Noise(4 * kBlockSamples, 11));
    // Far larger than the file device delivers in a millisecond. The stop may
    // come before the first read (the buffer stays queued, empty, until the
    // reset) or, on a loaded machine, after the buffer filled; each try waits
    // a little longer, and every outcome must keep the contract.
    std::vector<uint8_t> buffer(8 << 20);
    bool handed_back_partly_filled = false;
    for (int attempt = 0; attempt < 40 && !handed_back_partly_filled; ++attempt) {
        SCOPED_TRACE(attempt);
        std::fill(buffer.begin(), buffer.end(), 0xA5);
        WaveHeader header{buffer.data(), static_cast<uint32_t>(buffer.size()), 0, 0, 0, 0, nullptr, 0};
        Recorder recorder;
        const CaptureHandle device = StartCapture(recorder, header);
        ASSERT_NE(device, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(250 * attempt));
        EXPECT_EQ(CaptureStop(device), kCaptureOk);

        // A buffer with frames in it is out of the queue when the stop
        // returns; an empty one stays queued until the reset.
        const uint32_t recorded = header.bytes_recorded;
        EXPECT_EQ(header.flags & (kHeaderDone | kHeaderInQueue), recorded > 0 ? kHeaderDone : kHeaderInQueue);
        recorder.Stopping();
        EXPECT_EQ(CaptureReset(device), kCaptureOk);
        EXPECT_LE(recorded, buffer.size());
        EXPECT_EQ(recorded % 2, 0u);
        const std::size_t from_input = std::min<std::size_t>(recorded, input_bytes_.size());
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + from_input, input_bytes_.begin()));
        EXPECT_TRUE(std::all_of(buffer.begin() + recorded, buffer.end(), [](uint8_t b) { return b == 0xA5; }));
        handed_back_partly_filled = recorded > 0 && recorded < buffer.size();

        EXPECT_EQ(CaptureUnprepareHeader(device, &header, sizeof header), kCaptureOk);
        EXPECT_EQ(CaptureClose(device), kCaptureOk);
        EXPECT_EQ(recorder.Blocks().size(), recorded > 0 ? 1u : 0u);
        EXPECT_TRUE(recorder.ContractKept());
    }
    EXPECT_TRUE(handed_back_partly_filled);
}

TEST_F(AlsaCapture, KeysSurviveConversionFromADeviceFixedAt48000) {
    UseConfig("fixed48.conf");
    const std::string keys = "159#0D";
    WriteInput(KeySequence(keys, 48000, 0.25, 0.25));
    const int blocks_wanted = static_cast<int>(keys.size()) * 8 + 2;
    Recorder recorder(blocks_wanted);
    uint8_t buffer[kBlockBytes] = {};
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const CaptureHandle device = StartCapture(recorder, header);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(recorder.WaitForBlocks(blocks_wanted));
    StopAndClose(recorder, device, header);
    EXPECT_EQ(HeardKeys(recorder.Blocks()), keys);
}

// 3148 and 2523 Hz fold onto 852 and 1477 Hz, the pair of 9, when 48000/s is
// taken down to 4000/s without a filter.
TEST_F(AlsaCapture, TonesAboveTheBandDoNotAliasOntoAKey) {
    UseConfig("fixed48.conf");
    const std::vector<int16_t> high = tonetest::Synthesize({{3148, 6000}, {2523, 6000}}, 48000, 48000);
    WriteInput(high);

    std::vector<Block> decimated;
    for (std::size_t start = 0; start + 12 * kBlockSamples <= high.size(); start += 12 * kBlockSamples) {
        std::vector<int16_t> block;
        for (int i = 0; i < kBlockSamples; ++i) block.push_back(high[start + 12 * i]);
        decimated.push_back({tonetest::ToLittleEndian(block), kBlockBytes, 0});
    }
    ASSERT_EQ(HeardKeys(decimated), "9") << "the signal would alias without a filter";

    const int blocks_wanted = 14;
    Recorder recorder(blocks_wanted);
    uint8_t buffer[kBlockBytes] = {};
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const CaptureHandle device = StartCapture(recorder, header);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(recorder.WaitForBlocks(blocks_wanted));
    StopAndClose(recorder, device, header);
    const std::vector<Block> blocks = recorder.Blocks();
    EXPECT_EQ(HeardKeys(blocks), "");
    // Nothing of the signal's power reaches the band either.
    int64_t energy = 0;
    for (std::size_t b = 2; b < blocks.size(); ++b) {
        for (std::size_t i = 0; i < kBlockBytes; i += 2) {
            const auto sample = static_cast<int16_t>(blocks[b].bytes[i] | (blocks[b].bytes[i + 1] << 8));
            energy += sample * sample;
        }
    }
    EXPECT_LT(energy / static_cast<int64_t>((blocks.size() - 2) * kBlockSamples), 100);
}

TEST_F(AlsaCapture, OpenFailsAndLeavesNothingWhenThereIsNoDevice) {
    const WaveFormat format = capturetest::Format4000();
    Recorder recorder;
    CaptureHandle device = nullptr;

    UseConfig("missing.conf");
    const Footprint before;
    EXPECT_NE(CaptureOpen(&device, 0, &format, Recorder::Notify, recorder.Instance(), kCallbackFunction), kCaptureOk);
    EXPECT_EQ(device, nullptr);

    UseConfig("file.conf");
    setenv("TONEWATCH_CAPTURE_DEVICE", "tonewatch_no_such_device", 1);
    EXPECT_NE(CaptureOpen(&device, 0, &format, Recorder::Notify, recorder.Instance(), kCallbackFunction), kCaptureOk);
    EXPECT_EQ(device, nullptr);

    const Footprint after = capturetest::SettledFootprint(before);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(AlsaCapture, AThousandCyclesLeaveNoThreadOrDescriptorBehind) {
    UseConfig("file.conf");
    WriteInput(Noise(kBlockSamples, 5));
    const Footprint before;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        Recorder recorder;
        uint8_t buffer[kBlockBytes];
        WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
        const CaptureHandle device = StartCapture(recorder, header);
        ASSERT_NE(device, nullptr);
        StopAndClose(recorder, device, header);
        // The buffer may or may not have been filled before the stop.
        const std::vector<uint32_t> messages = recorder.Messages();
        ASSERT_GE(messages.size(), 2u);
        ASSERT_LE(messages.size(), 3u);
        ASSERT_EQ(messages.front(), MM_WIM_OPEN) << "cycle " << cycle;
        ASSERT_EQ(messages.back(), MM_WIM_CLOSE) << "cycle " << cycle;
    }
    const Footprint after = capturetest::SettledFootprint(before);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_LE(after.threads, before.threads);
}

// A device whose reads keep failing (an overrun that every restart brings
// back) is tried again ever less often, then ends capture as a stop would:
// what it delivered comes back, partly filled, and nothing took a core.
TEST_F(AlsaCapture, ADeviceThatKeepsFailingIsRetriedCalmlyThenStopsItself) {
    tonetest::FailingDevice failing(2 * kBlockSamples + 100, -1, EPIPE);
    Recorder recorder(1000);
    uint8_t buffer[kBlockBytes] = {};
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const auto wall_start = std::chrono::steady_clock::now();
    const std::clock_t cpu_start = std::clock();
    const CaptureHandle device = StartCapture(recorder, header);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(recorder.WaitForBlocks(3, std::chrono::seconds(30)));
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall_start;
    EXPECT_EQ(recorder.Blocks()[2].bytes_recorded, 200u);
    EXPECT_GE(failing.Stops(), 1);
    EXPECT_LT(failing.ReadsFailed(), 50);
    EXPECT_LT(cpu, 0.2 * wall.count());
    StopAndClose(recorder, device, header);
    EXPECT_TRUE(recorder.ContractKept());
}

// A device that fails for a while is tried again until it delivers.
TEST_F(AlsaCapture, ADeviceThatFailsForAWhileCapturesAgain) {
    tonetest::FailingDevice failing(2 * kBlockSamples, 6, EIO);
    Recorder recorder(1000);
    uint8_t buffer[kBlockBytes] = {};
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const CaptureHandle device = StartCapture(recorder, header);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(recorder.WaitForBlocks(4, std::chrono::seconds(10)));
    EXPECT_EQ(failing.ReadsFailed(), 6);
    StopAndClose(recorder, device, header);
}

}
