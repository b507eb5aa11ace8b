#include "press_scanner.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "key_press.h"

namespace dtmfscan {

void PressScanner::Feed(std::span<const int16_t> samples) {
    while (!samples.empty()) {
        const auto take = std::min<std::size_t>(samples.size(), block_.size() - filled_);
        std::copy_n(samples.begin(), take, block_.begin() + filled_);
        filled_ += static_cast<int>(take);
        samples = samples.subspan(take);
        if (filled_ == tonewatch::kBlockSamples) AnalyseBlock();
    }
}

void PressScanner::Finish() {
    if (filled_ == 0) return;
    std::fill(block_.begin() + filled_, block_.end(), int16_t{0});
    AnalyseBlock();
}

void PressScanner::AnalyseBlock() {
    // The analysis takes the block as the capture service delivers it:
    // little-endian bytes.
    uint8_t bytes[tonewatch::kBlockBytes];
    for (int i = 0; i < tonewatch::kBlockSamples; ++i) {
        const auto u = static_cast<uint16_t>(block_[i]);
        bytes[2 * i] = static_cast<uint8_t>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(u >> 8);
    }
    tonewatch::ToneBank bank;
    char key[2];
    tonewatch::ToneAnalyseBlock(bytes, bank, key);
    if (tonewatch::KeyPressAdvance(key_held_, key[0])) presses_.push_back({blocks_, key[0]});
    ++blocks_;
    filled_ = 0;
}

std::string BlockTime(int64_t block) {
    // block * 62.5 ms, rounded half up to whole milliseconds.
    const int64_t ms = (block * 125 + 1) / 2;
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64, ms / 1000, ms % 1000);
    return text;
}

}
