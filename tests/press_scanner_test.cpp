#include "press_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tone_signals.h"

using tonescan::PressScanner;
using tonetest::KeyTones;
using tonetest::Synthesize;

namespace {

constexpr int kBlock = 250;

// A recording described as (key or '.', samples) pieces; tones run on in
// phase across pieces so that a tone split at a block boundary stays one tone.
std::vector<int16_t> Recording(const std::vector<std::pair<char, int>>& pieces) {
    std::vector<int16_t> audio;
    for (const auto& [key, count] : pieces) {
        const int start = static_cast<int>(audio.size());
        const std::vector<int16_t> piece =
            key == '.' ? std::vector<int16_t>(count, 0) : Synthesize(KeyTones(key, 4000), count, 4000, start);
        audio.insert(audio.end(), piece.begin(), piece.end());
    }
    return audio;
}

std::string Keys(const PressScanner& scanner) {
    std::string keys;
    for (const auto& press : scanner.Presses()) keys += press.key;
    return keys;
}

std::vector<int64_t> Blocks(const PressScanner& scanner) {
    std::vector<int64_t> blocks;
    for (const auto& press : scanner.Presses()) blocks.push_back(press.block);
    return blocks;
}

PressScanner ScanInChunks(const std::vector<int16_t>& audio, std::size_t chunk) {
    PressScanner scanner;
    for (std::size_t at = 0; at < audio.size(); at += chunk) {
        scanner.Feed(std::span(audio).subspan(at, std::min(chunk, audio.size() - at)));
    }
    scanner.Finish();
    return scanner;
}

}

TEST(PressScanner, AppliesThePressRuleAcrossBlocks) {
    // 1.5-block tones and pauses: each still covers one whole block.
    const auto audio = Recording({{'.', 100}, {'1', 375}, {'.', 375}, {'1', 375}, {'.', 375},
                                  {'5', 500}, {'6', 500}, {'.', 500}, {'#', 2500}, {'.', 250}});
    const PressScanner scanner = ScanInChunks(audio, audio.size());
    EXPECT_EQ(Keys(scanner), "115#");  // 6 follows 5 without a pause: no press
    EXPECT_EQ(scanner.Blocks(), static_cast<int64_t>((audio.size() + kBlock - 1) / kBlock));
    // Each press lies in the block holding the tone's start or the next one.
    const std::vector<int> starts = {100, 850, 1600, 3100};
    ASSERT_EQ(scanner.Presses().size(), starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
        EXPECT_GE(scanner.Presses()[i].block, starts[i] / kBlock) << i;
        EXPECT_LE(scanner.Presses()[i].block, starts[i] / kBlock + 1) << i;
    }
}

TEST(PressScanner, ResultDoesNotDependOnHowSamplesArrive) {
    const auto audio = Recording({{'.', 300}, {'7', 600}, {'.', 400}, {'D', 550}, {'.', 260}, {'0', 700}});
    const PressScanner whole = ScanInChunks(audio, audio.size());
    EXPECT_EQ(Keys(whole), "7D0");
    for (std::size_t chunk : {1u, 7u, 249u, 250u, 251u, 1000u}) {
        const PressScanner pieces = ScanInChunks(audio, chunk);
        EXPECT_EQ(Blocks(pieces), Blocks(whole)) << chunk;
        EXPECT_EQ(Keys(pieces), Keys(whole)) << chunk;
        EXPECT_EQ(pieces.Blocks(), whole.Blocks()) << chunk;
    }
}

TEST(PressScanner, PartsAnalysedApartGiveThePressesOfOneScan) {
    // A key held across each cut must still be one press; the last part ends
    // in a partial block.
    const auto audio = Recording({{'.', 300}, {'7', 900}, {'.', 400}, {'D', 1100}, {'.', 260}, {'0', 780}});
    const PressScanner whole = ScanInChunks(audio, audio.size());
    ASSERT_EQ(Keys(whole), "7D0");
    for (const std::vector<std::size_t>& cuts : std::vector<std::vector<std::size_t>>{
             {500}, {750}, {2000, 2250}, {250, 500, 3500}, {0, 3500}}) {
        std::vector<tonescan::BlockKeys> parts(cuts.size() + 1);
        for (std::size_t k = 0, from = 0; k < parts.size(); ++k) {
            const std::size_t to = k < cuts.size() ? cuts[k] : audio.size();
            parts[k].Feed(std::span(audio).subspan(from, to - from));
            from = to;
        }
        PressScanner joined;
        for (tonescan::BlockKeys& part : parts) {
            part.Finish();
            joined.FeedBlockKeys(part.Keys());
        }
        joined.Finish();
        EXPECT_EQ(Blocks(joined), Blocks(whole)) << cuts.front();
        EXPECT_EQ(Keys(joined), Keys(whole)) << cuts.front();
        EXPECT_EQ(joined.Blocks(), whole.Blocks()) << cuts.front();
    }
}

TEST(PressScanner, PadsTheLastPartialBlockWithZeros) {
    // 200 samples of tone, then 50 zeros of padding: the block still holds a key.
    PressScanner tail = ScanInChunks(Recording({{'.', 250}, {'9', 200}}), 64);
    EXPECT_EQ(tail.Blocks(), 2);
    EXPECT_EQ(Keys(tail), "9");
    EXPECT_EQ(Blocks(tail), std::vector<int64_t>{1});

    // Without Finish the partial block is not analysed yet.
    PressScanner open;
    const auto audio = Recording({{'9', 200}});
    open.Feed(audio);
    EXPECT_EQ(open.Blocks(), 0);
    open.Finish();
    EXPECT_EQ(open.Blocks(), 1);

    // Whole blocks only: nothing to pad, no extra block.
    EXPECT_EQ(ScanInChunks(Recording({{'9', 500}}), 100).Blocks(), 2);
    EXPECT_EQ(ScanInChunks({}, 1).Blocks(), 0);
}
