#include "scan_report.h"

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

std::string JsonError(const std::string& file, const std::string& error) {
    return "{\"file\":" + JsonString(file) + ",\"error\":" + JsonString(error) + "}\n";
}

}
