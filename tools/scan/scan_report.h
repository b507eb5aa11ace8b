// The output lines of dtmf-scan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "press_scanner.h"

namespace dtmfscan {

using tonewatch::Press;

// One "TIME KEY" line per press, each preceded by `prefix` (empty, or the
// file name and ": " when several files are scanned).
std::string TextReport(const std::string& prefix, const std::vector<Press>& presses);

// One line: {"file":...,"keys":...,"presses":[{"time":...,"key":...}],"blocks":...}
std::string JsonReport(const std::string& file, const std::vector<Press>& presses, int64_t blocks);

// One line: {"file":...,"error":...}
std::string JsonError(const std::string& file, const std::string& error);

// A JSON string literal, quotes included. File names are bytes, not text:
// bytes that are not valid UTF-8 become U+FFFD so the output stays valid JSON.
std::string JsonString(const std::string& text);

}
