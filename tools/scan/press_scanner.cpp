#include "press_scanner.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "key_press.h"
#include "tone_kernels.h"

namespace dtmfscan {

namespace {

constexpr std::size_t kChunkBlocks = 256;

}

void PressScanner::Feed(std::span<const int16_t> samples) {
    pending_.insert(pending_.end(), samples.begin(), samples.end());
    if (pending_.size() >= kChunkBlocks * tonewatch::kBlockSamples) AnalyseBlocks();
}

void PressScanner::Finish() {
    const std::size_t partial = pending_.size() % tonewatch::kBlockSamples;
    if (partial != 0) pending_.resize(pending_.size() + tonewatch::kBlockSamples - partial, int16_t{0});
    AnalyseBlocks();
}

void PressScanner::AnalyseBlocks() {
    const std::size_t blocks = pending_.size() / tonewatch::kBlockSamples;
    keys_.resize(blocks);
    tonewatch::ToneAnalyseBlocks(pending_.data(), blocks, keys_.data());
    for (char key : keys_) {
        if (tonewatch::KeyPressAdvance(key_held_, key)) presses_.push_back({blocks_, key});
        ++blocks_;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(blocks * tonewatch::kBlockSamples));
}

std::string BlockTime(int64_t block) {
    // block * 62.5 ms, rounded half up to whole milliseconds.
    const int64_t ms = (block * 125 + 1) / 2;
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64, ms / 1000, ms % 1000);
    return text;
}

}
