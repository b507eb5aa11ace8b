#include "scan_report.h"

#include <gtest/gtest.h>

#include <string>

using dtmfscan::JsonEnd;
using dtmfscan::JsonError;
using dtmfscan::JsonPress;
using dtmfscan::Seconds;
using dtmfscan::TextPress;

namespace {

tonescan_press Press(char key, int64_t start_us, int64_t end_us) {
    tonescan_press press{};
    press.key = key;
    press.start_us = start_us;
    press.end_us = end_us;
    return press;
}

}

// Times round half up to the millisecond: blocks of 62.5 ms and samples at
// 8000/s (125 us) both land on halves.
TEST(ScanReport, SecondsRoundHalfUpToTheMillisecond) {
    const struct {
        int64_t us;
        const char* text;
    } cases[] = {
        {0, "0.000"},         {125, "0.000"},         {500, "0.001"},           {62500, "0.063"},
        {562500, "0.563"},    {200375, "0.200"},      {240500, "0.241"},        {1'000'000, "1.000"},
        {57601LL * 62500, "3600.063"}, {(8000LL * 3600 * 25 + 7999) * 125, "90001.000"},
    };
    for (const auto& c : cases) EXPECT_EQ(Seconds(c.us), c.text) << c.us;
}

TEST(ScanReport, TextHasOneLinePerPressAtItsStart) {
    EXPECT_EQ(TextPress("", Press('5', 125000, 250000)), "0.125 5\n");
    EXPECT_EQ(TextPress("a b.wav: ", Press('#', 562500, 625000)), "a b.wav: 0.563 #\n");
}

TEST(ScanReport, JsonLines) {
    EXPECT_EQ(JsonPress("call.wav", Press('*', 562500, 625000), false),
              "{\"file\":\"call.wav\",\"time\":0.563,\"key\":\"*\"}\n");
    EXPECT_EQ(JsonPress("call.wav", Press('#', 200375, 240500), true),
              "{\"file\":\"call.wav\",\"time\":0.200,\"key\":\"#\",\"end\":0.241}\n");
    EXPECT_EQ(JsonPress("a\nb.wav", Press('1', 0, 1), false), "{\"file\":\"a\\nb.wav\",\"time\":0.000,\"key\":\"1\"}\n");
    EXPECT_EQ(JsonEnd("call.wav", "5*", 40), "{\"file\":\"call.wav\",\"keys\":\"5*\",\"blocks\":40}\n");
    EXPECT_EQ(JsonEnd("quiet.wav", "", 0), "{\"file\":\"quiet.wav\",\"keys\":\"\",\"blocks\":0}\n");
    EXPECT_EQ(JsonEnd("call.wav", "12", -1), "{\"file\":\"call.wav\",\"keys\":\"12\"}\n");
    EXPECT_EQ(JsonError("gone.wav", "No such file or directory"),
              "{\"file\":\"gone.wav\",\"error\":\"No such file or directory\"}\n");
}
