// The output lines of dtmf-scan: one per press, written as soon as the press
// is found, and with --json one more when a file ends.
#pragma once

#include <cstdint>
#include <string>

#include "tonescan.h"

namespace dtmfscan {

// A time in microseconds as seconds with three decimals, rounded half up to
// the nearest millisecond ("1.250").
std::string Seconds(int64_t microseconds);

// "TIME KEY", preceded by `prefix` (empty, or the file name and ": "), at
// the press's start.
std::string TextPress(const std::string& prefix, const tonescan_press& press);

// {"file":...,"time":...,"key":...}, and with `end` its end too.
std::string JsonPress(const std::string& file, const tonescan_press& press, bool end);

// The end of a file that was read whole: {"file":...,"keys":...}, and
// "blocks" where the block analysis counted them (blocks >= 0).
std::string JsonEnd(const std::string& file, const std::string& keys, int64_t blocks);

// {"file":...,"error":...}
std::string JsonError(const std::string& file, const std::string& error);

}
