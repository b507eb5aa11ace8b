#include "scan_report.h"

#include <cstdio>

#include "tool.h"

namespace dtmfscan {

using dtmftools::JsonString;
using tonewatch::BlockTime;

std::string TextPress(const std::string& prefix, const Press& press) {
    return prefix + BlockTime(press.block) + ' ' + press.key + '\n';
}

std::string JsonPress(const std::string& file, const Press& press) {
    return "{\"file\":" + JsonString(file) + "," + dtmftools::JsonPressMembers(BlockTime(press.block), press.key) +
           "}\n";
}

std::string JsonEnd(const std::string& file, const std::vector<Press>& presses, int64_t blocks) {
    std::string keys;
    for (const Press& press : presses) keys += press.key;
    return "{\"file\":" + JsonString(file) + ",\"keys\":" + JsonString(keys) + ",\"blocks\":" +
           std::to_string(blocks) + "}\n";
}

std::string SampleTime(int64_t sample) {
    const int64_t ms = (sample * 1000 + tonewatch::kTrackerRate / 2) / tonewatch::kTrackerRate;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    return text;
}

std::string TextPress(const std::string& prefix, const tonewatch::TrackedPress& press) {
    return prefix + SampleTime(press.start) + ' ' + press.key + '\n';
}

std::string JsonPress(const std::string& file, const tonewatch::TrackedPress& press) {
    return "{\"file\":" + JsonString(file) + "," + dtmftools::JsonPressMembers(SampleTime(press.start), press.key) +
           ",\"end\":" + SampleTime(press.end) + "}\n";
}

std::string JsonEnd(const std::string& file, const std::vector<tonewatch::TrackedPress>& presses) {
    std::string keys;
    for (const tonewatch::TrackedPress& press : presses) keys += press.key;
    return "{\"file\":" + JsonString(file) + ",\"keys\":" + JsonString(keys) + "}\n";
}

std::string JsonError(const std::string& file, const std::string& error) {
    return "{\"file\":" + JsonString(file) + ",\"error\":" + JsonString(error) + "}\n";
}

}
