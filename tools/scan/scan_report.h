// The output lines of dtmf-scan: one per press, written as soon as the press
// is found, and with --json one more when a file ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "press_scanner.h"

namespace dtmfscan {

using tonewatch::Press;

// "TIME KEY", preceded by `prefix` (empty, or the file name and ": ").
std::string TextPress(const std::string& prefix, const Press& press);

// {"file":...,"time":...,"key":...}
std::string JsonPress(const std::string& file, const Press& press);

// The end of a file that was read whole: {"file":...,"keys":...,"blocks":...}
std::string JsonEnd(const std::string& file, const std::vector<Press>& presses, int64_t blocks);

// {"file":...,"error":...}
std::string JsonError(const std::string& file, const std::string& error);

}
