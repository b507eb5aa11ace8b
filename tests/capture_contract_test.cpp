// The capture contract, run against every capture backend: each backend's
// test program links this file with the backend and its capture_contract.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "capture_contract.h"
#include "capture_recorder.h"
#include "capture_service.h"
#include "tone_bank.h"

using namespace tonewatch;
using capturetest::Block;
using capturetest::Footprint;
using capturetest::Recorder;

namespace {

class CaptureContract : public ::testing::Test {
protected:
    void SetUp() override { capturecontract::PrepareBackend(); }

    CaptureHandle Open(Recorder& recorder) {
        CaptureHandle device = nullptr;
        const WaveFormat format = capturetest::Format4000();
        EXPECT_EQ(CaptureOpen(&device, 0, &format, Recorder::Notify, recorder.Instance(), kCallbackFunction),
                  kCaptureOk);
        return device;
    }
};

std::vector<uint8_t> Noise(std::size_t bytes, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> out(bytes);
    for (uint8_t& b : out) b = static_cast<uint8_t>(generator());
    return out;
}

constexpr uint32_t kDoneOrQueued = kHeaderDone | kHeaderInQueue;

TEST_F(CaptureContract, OpenRefusals) {
    Recorder recorder;
    CaptureHandle device = nullptr;
    const WaveFormat mono = capturetest::Format4000();
    const WaveFormat stereo{kWaveFormatPcm, 2, 4000, 16000, 4, 16, 0};
    const WaveFormat eight_bit{kWaveFormatPcm, 1, 4000, 4000, 1, 8, 0};
    const Footprint before;
    struct Case {
        uint32_t device_id;
        const WaveFormat* format;
        uint32_t flags;
        uint32_t result;
    };
    const Case cases[] = {
        {1, &mono, kCallbackFunction, kCaptureBadDevice},
        {0, &stereo, kCallbackFunction, kCaptureBadFormat},
        {0, &eight_bit, kCallbackFunction, kCaptureBadFormat},
        {0, &mono, 0, kCaptureError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CaptureOpen(&device, c.device_id, c.format, Recorder::Notify, recorder.Instance(), c.flags),
                  c.result);
        EXPECT_EQ(device, nullptr);
    }
    const Footprint after;
    EXPECT_TRUE(capturetest::NothingLeft(before, after)) << before << " before, " << after << " after";
    EXPECT_TRUE(recorder.Messages().empty());
}

// Two buffers in turn, each queued again by the notification: the input
// arrives whole and in order, alternating between them (where the backend can
// be given exact input; a live device's blocks are only full).
TEST_F(CaptureContract, BuffersAreFilledInTheOrderTheyWereQueued) {
    const std::vector<uint8_t> input = Noise(6 * kBlockBytes, 7);
    capturecontract::ProvideInput(input);
    Recorder recorder(4);
    uint8_t buffers[2][kBlockBytes] = {};
    WaveHeader headers[2] = {{buffers[0], kBlockBytes, 0, 0, 0, 0, nullptr, 0},
                             {buffers[1], kBlockBytes, 0, 0, 0, 0, nullptr, 0}};
    const CaptureHandle device = Open(recorder);
    ASSERT_NE(device, nullptr);
    for (WaveHeader& header : headers) {
        ASSERT_EQ(CapturePrepareHeader(device, &header, sizeof header), kCaptureOk);
        ASSERT_EQ(CaptureAddBuffer(device, &header, sizeof header), kCaptureOk);
    }
    ASSERT_EQ(CaptureStart(device), kCaptureOk);
    ASSERT_TRUE(recorder.WaitForBlocks(6));
    recorder.Stopping();
    EXPECT_EQ(CaptureReset(device), kCaptureOk);
    for (WaveHeader& header : headers) EXPECT_EQ(CaptureUnprepareHeader(device, &header, sizeof header), kCaptureOk);
    EXPECT_EQ(CaptureClose(device), kCaptureOk);

    const std::vector<Block> blocks = recorder.Blocks();
    ASSERT_EQ(blocks.size(), 6u);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(blocks[i].bytes_recorded, kBlockBytes);
        EXPECT_EQ(blocks[i].flags & kDoneOrQueued, kHeaderDone);
        EXPECT_EQ(blocks[i].data, buffers[i % 2]);
        if (capturecontract::InputIsExact()) {
            EXPECT_TRUE(std::equal(blocks[i].bytes.begin(), blocks[i].bytes.end(), input.begin() + i * kBlockBytes));
        }
    }
    const std::vector<uint32_t> messages = recorder.Messages();
    EXPECT_EQ(messages.front(), MM_WIM_OPEN);
    EXPECT_EQ(messages.back(), MM_WIM_CLOSE);
    EXPECT_TRUE(recorder.ContractKept());
}

TEST_F(CaptureContract, QueueRefusalsLeaveTheDeviceUsable) {
    Recorder recorder;
    uint8_t buffer[kBlockBytes];
    std::fill(std::begin(buffer), std::end(buffer), 0x5A);
    WaveHeader header{buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    const CaptureHandle device = Open(recorder);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(CaptureAddBuffer(device, &header, sizeof header), kCaptureUnprepared);
    EXPECT_EQ(CapturePrepareHeader(device, &header, sizeof header - 1), kCaptureError);
    ASSERT_EQ(CapturePrepareHeader(device, &header, sizeof header), kCaptureOk);
    ASSERT_EQ(CaptureAddBuffer(device, &header, sizeof header), kCaptureOk);
    EXPECT_EQ(CaptureAddBuffer(device, &header, sizeof header), kCaptureStillQueued);
    EXPECT_EQ(CapturePrepareHeader(device, &header, sizeof header), kCaptureStillQueued);

    const Footprint open;
    EXPECT_EQ(CaptureClose(device), kCaptureStillQueued);
    EXPECT_EQ(CaptureUnprepareHeader(device, &header, sizeof header), kCaptureStillQueued);
    const Footprint refused;
    EXPECT_TRUE(capturetest::NothingLeft(open, refused)) << open << " open, " << refused << " after refusals";

    // Never started: nothing was recorded, so a stop leaves the buffer queued
    // and the close is still refused; a reset hands it back empty.
    EXPECT_EQ(CaptureStop(device), kCaptureOk);
    EXPECT_EQ(header.flags & kDoneOrQueued, kHeaderInQueue);
    EXPECT_EQ(CaptureClose(device), kCaptureStillQueued);
    EXPECT_EQ(CaptureReset(device), kCaptureOk);
    EXPECT_EQ(header.flags & kDoneOrQueued, kHeaderDone);
    // The hand-back may still be on its way; the header is the notification's
    // until it has been delivered.
    ASSERT_TRUE(recorder.WaitForBlocks(1));
    EXPECT_EQ(CaptureUnprepareHeader(device, &header, sizeof header), kCaptureOk);
    EXPECT_EQ(CaptureClose(device), kCaptureOk);

    EXPECT_EQ(header.bytes_recorded, 0u);
    EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](uint8_t b) { return b == 0x5A; }));
    EXPECT_EQ(recorder.Messages(), (std::vector<uint32_t>{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_CLOSE}));
    EXPECT_TRUE(recorder.ContractKept());
}

}
