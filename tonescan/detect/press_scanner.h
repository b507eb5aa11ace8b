// Finds key presses in a stream of 16-bit mono samples at 4000/s: cuts it into
// blocks of 250 samples from the first sample on and runs each block through
// the analysis and the press rule, exactly as the live detector does. Blocks
// are gathered and analysed many at a time, which lets the analysis
// interleave independent blocks; the press rule then runs over them in order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tonescan {

struct Press {
    int64_t block;    // index of the block that registered the press
    char key;
    int64_t end = 0;  // the first block without a key after it
};

// The keys of consecutive blocks of a stream, or of a part of one that
// starts at a block boundary: blocks are gathered and analysed many at a time.
class BlockKeys {
public:
    // Takes any number of samples; whole blocks are analysed in batches.
    void Feed(std::span<const int16_t> samples);
    // Analyses the whole blocks fed so far.
    void Flush();
    // Ends the stream: a last partial block is padded with zeros and analysed.
    void Finish();
    // The keys of the blocks analysed so far, '\0' where a block holds none.
    const std::vector<char>& Keys() const { return keys_; }
    void ClearKeys() { keys_.clear(); }
    // Room for `samples` fed at a time without growing.
    void Reserve(std::size_t samples);

private:
    std::vector<int16_t> pending_;
    std::vector<char> keys_;
};

class PressScanner {
public:
    PressScanner();

    // Takes any number of samples; whole blocks are analysed in batches.
    void Feed(std::span<const int16_t> samples);
    // Analyses the whole blocks fed so far at once, so that their presses can
    // be reported without waiting for a batch to fill.
    void Flush();
    // Ends the stream: a last partial block is padded with zeros and analysed.
    void Finish();
    // Room for `samples` fed at a time without growing.
    void Reserve(std::size_t samples) { analysed_.Reserve(samples); }
    // Runs the press rule over the keys of the next blocks, analysed elsewhere.
    void FeedBlockKeys(std::span<const char> keys);

    // The presses that have ended, in order: a press ends with the first
    // block without a key, or with the stream.
    const std::vector<Press>& Presses() const { return presses_; }
    // Forgets the presses ended so far, keeping their room.
    void ClearPresses() { presses_.clear(); }
    // The keys of the presses, in order.
    std::string Keys() const;
    int64_t Blocks() const { return blocks_; }

private:
    void TakeKeys();

    BlockKeys analysed_;
    uint32_t key_held_ = 0;
    Press open_{};  // the press going on, while a key is held
    int64_t blocks_ = 0;
    std::vector<Press> presses_;
};


}
