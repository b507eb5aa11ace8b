#include "press_scanner.h"


#include "key_press.h"
#include "tone_analysis.h"

namespace tonescan {

using tonewatch::KeyPressAdvance;
using tonewatch::kBlockSamples;
using tonewatch::ToneAnalyseBlocks;

namespace {

constexpr std::size_t kChunkBlocks = 256;

}

void BlockKeys::Reserve(std::size_t samples) {
    pending_.reserve(kChunkBlocks * kBlockSamples + samples);
    keys_.reserve(kChunkBlocks + samples / kBlockSamples + 1);
}

void BlockKeys::Feed(std::span<const int16_t> samples) {
    pending_.insert(pending_.end(), samples.begin(), samples.end());
    if (pending_.size() >= kChunkBlocks * kBlockSamples) Flush();
}

void BlockKeys::Flush() {
    const std::size_t blocks = pending_.size() / kBlockSamples;
    const std::size_t old = keys_.size();
    keys_.resize(old + blocks);
    ToneAnalyseBlocks(pending_.data(), blocks, keys_.data() + old);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(blocks * kBlockSamples));
}

void BlockKeys::Finish() {
    const std::size_t partial = pending_.size() % kBlockSamples;
    if (partial != 0) pending_.resize(pending_.size() + kBlockSamples - partial, int16_t{0});
    Flush();
}

PressScanner::PressScanner() { presses_.reserve(16); }

void PressScanner::Feed(std::span<const int16_t> samples) {
    analysed_.Feed(samples);
    TakeKeys();
}

void PressScanner::Flush() {
    analysed_.Flush();
    TakeKeys();
}

void PressScanner::Finish() {
    analysed_.Finish();
    TakeKeys();
    if (key_held_ != 0) {
        key_held_ = 0;
        open_.end = blocks_;
        presses_.push_back(open_);
    }
}

void PressScanner::TakeKeys() {
    if (analysed_.Keys().empty()) return;
    FeedBlockKeys(analysed_.Keys());
    analysed_.ClearKeys();
}

void PressScanner::FeedBlockKeys(std::span<const char> keys) {
    for (char key : keys) {
        const bool held = key_held_ != 0;
        if (KeyPressAdvance(key_held_, key)) {
            open_ = {blocks_, key};
        } else if (held && key_held_ == 0) {
            open_.end = blocks_;
            presses_.push_back(open_);
        }
        ++blocks_;
    }
}

std::string PressScanner::Keys() const {
    std::string keys;
    for (const Press& press : presses_) keys += press.key;
    return keys;
}

}
