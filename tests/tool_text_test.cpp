// The text the host tools share: JSON strings and file names that cannot
// forge a line.
#include "tool.h"

#include <gtest/gtest.h>

#include <string>

using dtmftools::JsonString;
using dtmftools::QuotedName;

TEST(ToolText, JsonStringEscapesWhatJsonForbids) {
    EXPECT_EQ(JsonString(""), "\"\"");
    EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(JsonString("tab\tnl\ncr\r\x01\x1f\x7f"), "\"tab\\tnl\\ncr\\u000d\\u0001\\u001f\x7f\"");
    EXPECT_EQ(JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
}

TEST(ToolText, JsonStringKeepsUtf8AndReplacesOtherBytes) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(JsonString("Anruf-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x93\x9E"), "\"Anruf-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x93\x9E\"");
    EXPECT_EQ(JsonString("latin1-\xFC"), "\"latin1-" + replacement + "\"");
    EXPECT_EQ(JsonString("cut-\xE2\x82"), "\"cut-" + replacement + replacement + "\"");
    EXPECT_EQ(JsonString("\xC0\x80"), "\"" + replacement + replacement + "\"");          // overlong NUL
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"" + replacement + replacement + replacement + "\"");  // surrogate
    EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"" + replacement + replacement + replacement + replacement + "\"");
}

TEST(ToolText, NamesThatCouldForgeALineAreQuoted) {
    const std::pair<std::string, std::string> names[] = {
        {"call.wav", "call.wav"},
        {"a b: 1.250 5.wav", "a b: 1.250 5.wav"},
        {"Anruf-\xC3\xBC.wav", "Anruf-\xC3\xBC.wav"},
        {"two\nlines.wav", "\"two\\nlines.wav\""},
        {"x\n0.125 5", "\"x\\n0.125 5\""},
        {"tab\tcr\r.wav", "\"tab\\tcr\\r.wav\""},
        {"bell\a\x7f.wav", "\"bell\\x07\\x7f.wav\""},
        {"\"quoted\".wav", "\"\\\"quoted\\\".wav\""},
        {"back\\slash\n", "\"back\\\\slash\\n\""},
        {"", ""},
    };
    for (const auto& [name, shown] : names) EXPECT_EQ(QuotedName(name), shown) << name;
}
