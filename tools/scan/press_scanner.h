// Finds key presses in a stream of 16-bit mono samples at 4000/s: cuts it into
// blocks of 250 samples from the first sample on and runs each block through
// the detector's analysis and press rule, exactly as the live detector does.
// Blocks are gathered and analysed many at a time, which lets the analysis
// interleave independent blocks; the press rule then runs over them in order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tone_analysis.h"

namespace dtmfscan {

struct Press {
    int64_t block;  // index of the block that registered the press
    char key;
};

class PressScanner {
public:
    // Takes any number of samples; a block is analysed as soon as it is full.
    void Feed(std::span<const int16_t> samples);
    // Ends the stream: a last partial block is padded with zeros and analysed.
    void Finish();

    const std::vector<Press>& Presses() const { return presses_; }
    int64_t Blocks() const { return blocks_; }

private:
    // Analyses the whole blocks gathered so far.
    void AnalyseBlocks();

    std::vector<int16_t> pending_;
    std::vector<char> keys_;
    uint32_t key_held_ = 0;
    int64_t blocks_ = 0;
    std::vector<Press> presses_;
};

// Start of a block in seconds with three decimals ("1.250"). A block is
// 62.5 ms, so odd blocks fall on half a millisecond; those round up.
std::string BlockTime(int64_t block);

}
