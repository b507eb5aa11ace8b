#include "scan_report.h"

#include <gtest/gtest.h>

#include <string>

using dtmfscan::JsonEnd;
using dtmfscan::JsonError;
using dtmfscan::JsonPress;
using dtmfscan::TextPress;

TEST(ScanReport, TextHasOneLinePerPress) {
    EXPECT_EQ(TextPress("", {2, '5'}), "0.125 5\n");
    EXPECT_EQ(TextPress("a b.wav: ", {9, '#'}), "a b.wav: 0.563 #\n");
}

TEST(ScanReport, JsonLines) {
    EXPECT_EQ(JsonPress("call.wav", {9, '*'}), "{\"file\":\"call.wav\",\"time\":0.563,\"key\":\"*\"}\n");
    EXPECT_EQ(JsonEnd("call.wav", {{2, '5'}, {9, '*'}}, 40), "{\"file\":\"call.wav\",\"keys\":\"5*\",\"blocks\":40}\n");
    EXPECT_EQ(JsonEnd("quiet.wav", {}, 0), "{\"file\":\"quiet.wav\",\"keys\":\"\",\"blocks\":0}\n");
    EXPECT_EQ(JsonError("gone.wav", "No such file or directory"),
              "{\"file\":\"gone.wav\",\"error\":\"No such file or directory\"}\n");
    EXPECT_EQ(JsonPress("a\nb.wav", {0, '1'}), "{\"file\":\"a\\nb.wav\",\"time\":0.000,\"key\":\"1\"}\n");
}
