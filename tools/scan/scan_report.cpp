#include "scan_report.h"

#include <cstdio>

#include "tool.h"

namespace dtmfscan {

using dtmftools::JsonString;

std::string Seconds(int64_t microseconds) {
    const int64_t ms = (microseconds + 500) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text;
}

std::string TextPress(const std::string& prefix, const tonescan_press& press) {
    return prefix + Seconds(press.start_us) + ' ' + press.key + '\n';
}

std::string JsonPress(const std::string& file, const tonescan_press& press, bool end) {
    std::string line = "{\"file\":" + JsonString(file) + "," + dtmftools::JsonPressMembers(Seconds(press.start_us), press.key);
    if (end) line += ",\"end\":" + Seconds(press.end_us);
    return line + "}\n";
}

std::string JsonEnd(const std::string& file, const std::string& keys, int64_t blocks) {
    std::string line = "{\"file\":" + JsonString(file) + ",\"keys\":" + JsonString(keys);
    if (blocks >= 0) line += ",\"blocks\":" + std::to_string(blocks);
    return line + "}\n";
}

std::string JsonError(const std::string& file, const std::string& error) {
    return "{\"file\":" + JsonString(file) + ",\"error\":" + JsonString(error) + "}\n";
}

}
