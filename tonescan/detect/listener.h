// One detector at its own rate, whichever is chosen: the press tracker at
// 8000/s or the block analysis at 4000/s, with each press timed in
// microseconds from the first sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "press_scanner.h"
#include "press_tracker.h"

namespace tonescan {

struct FoundPress {
    char key;
    int64_t start_us;
    int64_t end_us;
    float low_dbfs;
    float high_dbfs;
};

class Listener {
public:
    // `detector`: TONESCAN_RECORDING or TONESCAN_BLOCKS. `most_samples`: the
    // most samples any one Feed hands over, for which room is made now.
    Listener(int detector, std::size_t most_samples);

    int Rate() const;
    bool Blocks() const { return blocks_; }

    void Feed(std::span<const int16_t> samples);
    // A stream has caught up: blocks gathered for analysis are analysed now.
    void CaughtUp();
    // The block analysis of a file read in parts: the keys of its blocks.
    void FeedBlockKeys(std::span<const char> keys);
    void Finish();

    // The presses found since the last Clear, in order.
    std::span<const FoundPress> Found() const { return found_; }
    void Clear() { found_.clear(); }
    // Forgets the first `n` presses found.
    void Drop(std::size_t n) { found_.erase(found_.begin(), found_.begin() + static_cast<std::ptrdiff_t>(n)); }
    // The recording detector, for the runs of windows holding tones.
    PressTracker& Tracker() { return tracker_; }
    // Blocks the block analysis has analysed.
    int64_t BlockCount() const { return scanner_.Blocks(); }

private:
    void Collect();

    bool blocks_;
    PressTracker tracker_;
    PressScanner scanner_;
    std::vector<FoundPress> found_;
};

}
