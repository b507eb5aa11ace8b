// The recording detector inside a push detector, for the redactor, which
// masks the tone pairs its windows hold besides the presses.
#pragma once

#include "press_tracker.h"
#include "tonescan.h"

namespace tonescan {

PressTracker& TrackerOf(tonescan_detector& detector);

}
