#include "scan_report.h"

#include <gtest/gtest.h>

#include <string>

using dtmfscan::JsonError;
using dtmfscan::JsonReport;
using dtmfscan::JsonString;
using dtmfscan::TextReport;

TEST(ScanReport, TextHasOneLinePerPress) {
    const std::vector<tonewatch::Press> presses = {{2, '5'}, {9, '#'}};
    EXPECT_EQ(TextReport("", presses), "0.125 5\n0.563 #\n");
    EXPECT_EQ(TextReport("a b.wav: ", presses), "a b.wav: 0.125 5\na b.wav: 0.563 #\n");
    EXPECT_EQ(TextReport("x: ", {}), "");
}

TEST(ScanReport, JsonLines) {
    EXPECT_EQ(JsonReport("call.wav", {{2, '5'}, {9, '*'}}, 40),
              "{\"file\":\"call.wav\",\"keys\":\"5*\",\"presses\":[{\"time\":0.125,\"key\":\"5\"},"
              "{\"time\":0.563,\"key\":\"*\"}],\"blocks\":40}\n");
    EXPECT_EQ(JsonReport("quiet.wav", {}, 0), "{\"file\":\"quiet.wav\",\"keys\":\"\",\"presses\":[],\"blocks\":0}\n");
    EXPECT_EQ(JsonError("gone.wav", "No such file or directory"),
              "{\"file\":\"gone.wav\",\"error\":\"No such file or directory\"}\n");
}

TEST(ScanReport, JsonStringEscapesWhatJsonForbids) {
    EXPECT_EQ(JsonString(""), "\"\"");
    EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(JsonString("tab\tnl\ncr\r\x01\x1f\x7f"), "\"tab\\tnl\\ncr\\u000d\\u0001\\u001f\x7f\"");
    EXPECT_EQ(JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
}

TEST(ScanReport, JsonStringKeepsUtf8AndReplacesOtherBytes) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(JsonString("Anruf-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x93\x9E"), "\"Anruf-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x93\x9E\"");
    EXPECT_EQ(JsonString("latin1-\xFC"), "\"latin1-" + replacement + "\"");
    EXPECT_EQ(JsonString("cut-\xE2\x82"), "\"cut-" + replacement + replacement + "\"");
    EXPECT_EQ(JsonString("\xC0\x80"), "\"" + replacement + replacement + "\"");          // overlong NUL
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"" + replacement + replacement + replacement + "\"");  // surrogate
    EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"" + replacement + replacement + replacement + replacement + "\"");
}
