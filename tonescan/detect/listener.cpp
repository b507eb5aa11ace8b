#include "listener.h"

#include <cmath>
#include <limits>

#include "tonescan.h"

namespace tonescan {
namespace {

constexpr int64_t kBlockMicroseconds = 62500;
constexpr int64_t kTrackerSampleMicroseconds = 1'000'000 / kTrackerRate;

// The block analysis decides on presence alone and measures no level.
constexpr float kUnmeasured = std::numeric_limits<float>::quiet_NaN();

}

Listener::Listener(int detector, std::size_t most_samples) : blocks_(detector == TONESCAN_BLOCKS) {
    scanner_.Reserve(most_samples);
    found_.reserve(16);
}

int Listener::Rate() const { return blocks_ ? kScanRate : kTrackerRate; }

void Listener::Feed(std::span<const int16_t> samples) {
    if (blocks_) {
        scanner_.Feed(samples);
    } else {
        tracker_.Feed(samples);
    }
    Collect();
}

void Listener::CaughtUp() {
    if (blocks_) scanner_.Flush();
    Collect();
}

void Listener::FeedBlockKeys(std::span<const char> keys) {
    scanner_.FeedBlockKeys(keys);
    Collect();
}

void Listener::Finish() {
    if (blocks_) {
        scanner_.Finish();
    } else {
        tracker_.Finish();
    }
    Collect();
}

void Listener::Collect() {
    if (blocks_) {
        for (const Press& press : scanner_.Presses()) {
            found_.push_back({press.key, press.block * kBlockMicroseconds, press.end * kBlockMicroseconds, kUnmeasured,
                              kUnmeasured});
        }
        scanner_.ClearPresses();
    } else {
        for (const TrackedPress& press : tracker_.Presses()) {
            found_.push_back({press.key, press.start * kTrackerSampleMicroseconds, press.end * kTrackerSampleMicroseconds,
                              press.low_dbfs, press.high_dbfs});
        }
        tracker_.ClearPresses();
    }
}

}
