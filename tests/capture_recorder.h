// A notification function for driving a capture backend directly through the
// seam: records every notification, copies each handed-back buffer, and
// re-queues it for as many blocks as asked, as the detector's handler does.
// It also notes seam contract breaches: notifications that overlap or that
// run on the thread making the seam calls.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture_service.h"
#include "key_press.h"
#include "process_footprint.h"
#include "tone_analysis.h"

namespace capturetest {

struct Block {
    std::vector<uint8_t> bytes;  // the whole buffer as handed back
    uint32_t bytes_recorded;
    uint32_t flags;
    const uint8_t* data = nullptr;  // the buffer's address
};

class Recorder {
public:
    explicit Recorder(int requeue_blocks = 0) : requeue_blocks_(requeue_blocks) {}

    static void Notify(tonewatch::CaptureHandle device, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t) {
        auto& self = *reinterpret_cast<Recorder*>(instance);
        if (self.inside_.fetch_add(1) != 0) self.overlapped_ = true;
        if (std::this_thread::get_id() == self.caller_) self.on_caller_thread_ = true;
        {
            std::lock_guard lock(self.mutex_);
            self.messages_.push_back(message);
            auto* header = reinterpret_cast<tonewatch::WaveHeader*>(param1);
            // As the detector does, a buffer handed back empty while stopping
            // is no block.
            if (message == tonewatch::MM_WIM_DATA && !(self.stopping_ && header->bytes_recorded == 0)) {
                self.blocks_.push_back(
                    {{header->data, header->data + header->buffer_length}, header->bytes_recorded, header->flags, header->data});
                if (!self.stopping_ && static_cast<int>(self.blocks_.size()) <= self.requeue_blocks_) {
                    header->bytes_recorded = 0;
                    tonewatch::CaptureAddBuffer(device, header, sizeof(tonewatch::WaveHeader));
                }
            }
        }
        self.changed_.notify_all();
        self.inside_.fetch_sub(1);
    }

    uintptr_t Instance() { return reinterpret_cast<uintptr_t>(this); }

    // From now on no buffer is queued again, so that a stop empties the queue.
    void Stopping() { stopping_ = true; }

    bool WaitForBlocks(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return blocks_.size() >= count; });
    }

    std::vector<Block> Blocks() {
        std::lock_guard lock(mutex_);
        return blocks_;
    }

    std::vector<uint32_t> Messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

    bool ContractKept() const { return !overlapped_ && !on_caller_thread_; }

private:
    const int requeue_blocks_;
    const std::thread::id caller_ = std::this_thread::get_id();
    std::atomic<int> inside_{0};
    std::atomic<bool> overlapped_{false};
    std::atomic<bool> on_caller_thread_{false};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint32_t> messages_;
    std::vector<Block> blocks_;
};

inline tonewatch::WaveFormat Format4000() {
    return {tonewatch::kWaveFormatPcm, 1, 4000, 8000, 2, 16, 0};
}

using tonetest::Footprint;
using tonetest::SettledFootprint;
using tonetest::NothingLeft;

// Opens device 0 at 4000/s with `recorder` as notification function, queues
// `header` and starts; every step must succeed. Null when the open failed.
inline tonewatch::CaptureHandle StartCapture(Recorder& recorder, tonewatch::WaveHeader& header) {
    using namespace tonewatch;
    CaptureHandle device = nullptr;
    const WaveFormat format = Format4000();
    EXPECT_EQ(CaptureOpen(&device, 0, &format, Recorder::Notify, recorder.Instance(), kCallbackFunction), kCaptureOk);
    if (device == nullptr) return nullptr;
    EXPECT_EQ(CapturePrepareHeader(device, &header, sizeof header), kCaptureOk);
    EXPECT_EQ(CaptureAddBuffer(device, &header, sizeof header), kCaptureOk);
    EXPECT_EQ(CaptureStart(device), kCaptureOk);
    return device;
}

// Stops re-queueing, then stops, resets, unprepares and closes; every step
// must succeed.
inline void StopAndClose(Recorder& recorder, tonewatch::CaptureHandle device, tonewatch::WaveHeader& header) {
    using namespace tonewatch;
    recorder.Stopping();
    EXPECT_EQ(CaptureStop(device), kCaptureOk);
    EXPECT_EQ(CaptureReset(device), kCaptureOk);
    EXPECT_EQ(CaptureUnprepareHeader(device, &header, sizeof header), kCaptureOk);
    EXPECT_EQ(CaptureClose(device), kCaptureOk);
}

// Keys registered by the press rule over delivered blocks.
inline std::string HeardKeys(const std::vector<Block>& blocks) {
    std::string keys;
    uint32_t held = 0;
    for (const Block& block : blocks) {
        const char key = tonewatch::ToneAnalyseBlock(block.bytes.data());
        if (tonewatch::KeyPressAdvance(held, key)) keys += key;
    }
    return keys;
}

}
