// The rates the detectors listen at.
#pragma once

namespace tonescan {

// The block analysis: blocks of 250 samples, 62.5 ms.
inline constexpr int kScanRate = 4000;
// The press tracker.
inline constexpr int kTrackerRate = 8000;

}
