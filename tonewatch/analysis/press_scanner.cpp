#include "press_scanner.h"

#include <cinttypes>
#include <cstdio>

#include "key_press.h"
#include "tone_analysis.h"

namespace tonewatch {

namespace {

constexpr std::size_t kChunkBlocks = 256;

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
}

void PressScanner::TakeKeys() {
    if (analysed_.Keys().empty()) return;
    FeedBlockKeys(analysed_.Keys());
    analysed_.ClearKeys();
}

void PressScanner::FeedBlockKeys(std::span<const char> keys) {
    for (char key : keys) {
        if (KeyPressAdvance(key_held_, key)) presses_.push_back({blocks_, key});
        ++blocks_;
    }
}

std::string PressScanner::Keys() const {
    std::string keys;
    for (const Press& press : presses_) keys += press.key;
    return keys;
}

std::string BlockTime(int64_t block) {
    // block * 62.5 ms, rounded half up to whole milliseconds.
    const int64_t ms = (block * 125 + 1) / 2;
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64, ms / 1000, ms % 1000);
    return text;
}

}
