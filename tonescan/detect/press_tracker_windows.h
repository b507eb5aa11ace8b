// The press tracker's windows: the levels of the key frequencies in those
// ending at each sub-block, from the sub-blocks' correlations, and whether
// one holds a key's tones, to start a press or to keep one going.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "press_tracker.h"

namespace tonescan {

// The levels of the windows ending at one sub-block.
struct TrackerLevels {
    std::array<float, kToneChannels> level;
    float power;  // mean power of the low window
};

namespace tracker {

// Analyses `blocks` (at most PressTracker::kBatch) sub-blocks of `samples`,
// the stream's from its sub-block `first`: their correlations, without the
// samples' `offset` (which it follows), go to their places in `history`, and
// the levels of the windows ending with each to `out`.
void AnalyseSubBlocks(const int16_t* samples, std::size_t blocks, int64_t first, float& offset,
                      PressTracker::SubBlock* history, TrackerLevels* out);

// Whether a window holds a key's tones; if so, which key, and their power.
struct Verdict {
    int key;
    float power;
};

// A window that may start a press.
Verdict LooksLikeKey(const TrackerLevels& w);
// Whether a window that may start a press does so only allowing for white
// noise under its tones.
bool OnlyInNoise(const TrackerLevels& w);
// A window that keeps a press of `key` going.
Verdict StillHeld(const TrackerLevels& w, int key);

}

}
