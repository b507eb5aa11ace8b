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

// Each byte outside valid UTF-8 is escaped alone, as Python's
// surrogateescape decodes it; valid sequences pass unchanged.
TEST(ToolText, JsonStringKeepsUtf8AndEscapesOtherBytesReversibly) {
    const std::pair<std::string, std::string> cases[] = {
        {"Anruf-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x93\x9E", "\"Anruf-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x93\x9E\""},
        {"latin1-\xFC", "\"latin1-\\udcfc\""},
        {"cut-\xE2\x82", "\"cut-\\udce2\\udc82\""},
        {"\xC0\x80", "\"\\udcc0\\udc80\""},                      // overlong NUL
        {"\xED\xA0\x80", "\"\\udced\\udca0\\udc80\""},           // a surrogate's own encoding
        {"\xF4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},  // above U+10FFFF
        {"\xFF\xC3\xBC\x80", "\"\\udcff\xC3\xBC\\udc80\""},
    };
    for (const auto& [text, json] : cases) EXPECT_EQ(JsonString(text), json) << text;
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
