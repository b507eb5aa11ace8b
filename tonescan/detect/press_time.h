// A press found by a listener, at the input's own rate.
#pragma once

#include <cstdint>

#include "listener.h"
#include "tonescan.h"

namespace tonescan {

// Microseconds to the nearest frame at `rate`, without overflow for any
// time an int64 of microseconds holds.
constexpr int64_t FrameAt(int64_t us, int64_t rate) {
    return us / 1'000'000 * rate + (us % 1'000'000 * rate + 500'000) / 1'000'000;
}

inline tonescan_press PressAtRate(const FoundPress& found, int rate) {
    tonescan_press press{};
    press.start = FrameAt(found.start_us, rate);
    press.end = FrameAt(found.end_us, rate);
    press.start_us = found.start_us;
    press.end_us = found.end_us;
    press.low_dbfs = found.low_dbfs;
    press.high_dbfs = found.high_dbfs;
    press.key = found.key;
    return press;
}

}
