#include "scan_report.h"

#include <cstdio>

namespace dtmfscan {

using tonewatch::BlockTime;
namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 if there is
// none (bad lead byte, bad continuation, overlong form, surrogate, > U+10FFFF).
std::size_t Utf8SequenceLength(const unsigned char* s, std::size_t available) {
    const unsigned char lead = s[0];
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (available < length) return 0;
    if (s[1] < low || s[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return length;
}

}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            const std::size_t length = Utf8SequenceLength(bytes + i, text.size() - i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
                continue;
            }
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string TextReport(const std::string& prefix, const std::vector<Press>& presses) {
    std::string out;
    for (const Press& press : presses) {
        out += prefix;
        out += BlockTime(press.block);
        out += ' ';
        out += press.key;
        out += '\n';
    }
    return out;
}

std::string JsonReport(const std::string& file, const std::vector<Press>& presses, int64_t blocks) {
    std::string keys;
    std::string list;
    for (const Press& press : presses) {
        keys += press.key;
        if (!list.empty()) list += ',';
        list += "{\"time\":" + BlockTime(press.block) + ",\"key\":" + JsonString(std::string(1, press.key)) + "}";
    }
    return "{\"file\":" + JsonString(file) + ",\"keys\":" + JsonString(keys) + ",\"presses\":[" + list +
           "],\"blocks\":" + std::to_string(blocks) + "}\n";
}

std::string JsonError(const std::string& file, const std::string& error) {
    return "{\"file\":" + JsonString(file) + ",\"error\":" + JsonString(error) + "}\n";
}

}
