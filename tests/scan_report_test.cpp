#include "scan_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using dtmfscan::JsonEnd;
using dtmfscan::JsonError;
using dtmfscan::JsonPress;
using dtmfscan::TextPress;
using tonewatch::Press;
using tonewatch::TrackedPress;

TEST(ScanReport, TextHasOneLinePerPress) {
    EXPECT_EQ(TextPress("", Press{2, '5'}), "0.125 5\n");
    EXPECT_EQ(TextPress("a b.wav: ", Press{9, '#'}), "a b.wav: 0.563 #\n");
}

TEST(ScanReport, JsonLines) {
    EXPECT_EQ(JsonPress("call.wav", Press{9, '*'}), "{\"file\":\"call.wav\",\"time\":0.563,\"key\":\"*\"}\n");
    EXPECT_EQ(JsonEnd("call.wav", std::vector<Press>{{2, '5'}, {9, '*'}}, 40),
              "{\"file\":\"call.wav\",\"keys\":\"5*\",\"blocks\":40}\n");
    EXPECT_EQ(JsonEnd("quiet.wav", std::vector<Press>{}, 0), "{\"file\":\"quiet.wav\",\"keys\":\"\",\"blocks\":0}\n");
    EXPECT_EQ(JsonError("gone.wav", "No such file or directory"),
              "{\"file\":\"gone.wav\",\"error\":\"No such file or directory\"}\n");
    EXPECT_EQ(JsonPress("a\nb.wav", Press{0, '1'}), "{\"file\":\"a\\nb.wav\",\"time\":0.000,\"key\":\"1\"}\n");
}

// The press tracker's presses at their start, to the nearest millisecond,
// and in JSON with their end.
TEST(ScanReport, TrackedPressesHaveTheirStartAndEnd) {
    EXPECT_EQ(TextPress("", TrackedPress{'5', 1603, 1924}), "0.200 5\n");
    EXPECT_EQ(JsonPress("call.wav", TrackedPress{'#', 1603, 1924}),
              "{\"file\":\"call.wav\",\"time\":0.200,\"key\":\"#\",\"end\":0.241}\n");
    EXPECT_EQ(JsonEnd("call.wav", std::vector<TrackedPress>{{'1', 0, 320}, {'2', 640, 960}}),
              "{\"file\":\"call.wav\",\"keys\":\"12\"}\n");
    EXPECT_EQ(dtmfscan::SampleTime(8000LL * 3600 * 25 + 7999), "90001.000");
}
