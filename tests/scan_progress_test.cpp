#include "progress_bar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using dtmfscan::Estimate;
using dtmfscan::FileProgress;
using dtmfscan::ProgressLine;
using dtmfscan::ProgressState;

// The rate is the audio read over the time taken; the time left is what is
// left of the files of known length, and as much as their average for each
// file not yet measured, at that rate.
TEST(ScanProgress, EstimatesTheRateAndTheTimeLeft) {
    const struct {
        const char* label;
        std::vector<FileProgress> files;
        double elapsed;
        ProgressState expected;
    } cases[] = {
        {"nothing read yet", {{false, 0.0, 0.0, 0.0}}, 5.0, {0.0, 0, 1, -1.0, -1.0}},
        {"under a second", {{false, 0.5, 50.0, 100.0}}, 0.5, {0.5, 0, 1, -1.0, -1.0}},
        {"one file half read", {{false, 0.5, 50.0, 100.0}}, 2.0, {0.5, 0, 1, 25.0, 2.0}},
        {"one done, one unmeasured",
         {{true, 1.0, 120.0, 120.0}, {false, 0.0, 0.0, 0.0}},
         2.0,
         {0.5, 1, 2, 60.0, 2.0}},
        {"a stream ended with no length",
         {{true, 0.0, 0.0, 0.0}, {false, 0.25, 30.0, 120.0}},
         3.0,
         {0.625, 1, 2, 10.0, 9.0}},
        {"only streams", {{false, 0.0, 40.0, 0.0}}, 2.0, {0.0, 0, 1, 20.0, -1.0}},
    };
    for (const auto& c : cases) {
        const ProgressState state = Estimate(c.files, c.elapsed);
        EXPECT_DOUBLE_EQ(state.fraction, c.expected.fraction) << c.label;
        EXPECT_EQ(state.finished, c.expected.finished) << c.label;
        EXPECT_EQ(state.files, c.expected.files) << c.label;
        EXPECT_DOUBLE_EQ(state.rate, c.expected.rate) << c.label;
        EXPECT_DOUBLE_EQ(state.seconds_left, c.expected.seconds_left) << c.label;
    }
}

// The pieces of text come from the left, each whole or not at all; the bar
// takes what room is left; the last column stays free.
TEST(ScanProgress, FitsTheLineToTheTerminal) {
    const ProgressState state{0.5, 3, 10, 85.2, 83.0};
    const struct {
        std::size_t columns;
        const char* line;
    } cases[] = {
        {55, "[#########          ]  50%  3/10 files  85x  1:23 left"},
        {41, "[##   ]  50%  3/10 files  85x  1:23 left"},
        {38, "  50%  3/10 files  85x  1:23 left"},
        {30, "[##   ]  50%  3/10 files  85x"},
        {12, "  50%  3/10"},
        {0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ProgressLine(state, c.columns), c.line) << c.columns;
    EXPECT_EQ(ProgressLine({1.0, 1, 1, 2.46, 3725.2}, 80).substr(42), "] 100%  1/1 files  2.5x  1:02:06 left");
    EXPECT_EQ(ProgressLine({0.0, 0, 2, -1.0, -1.0}, 20), "   0%  0/2 files");
}
