// Long files read in parts side by side.
#pragma once

#include <sndfile.h>

#include "decode.h"
#include "frames.h"

namespace tonescan {

// Decodes the `info.frames` frames of 16-bit input in parts side by side,
// when each output sample depends on nearby input alone. Each part but the
// first starts reading a second early, and each but the last stops a second
// late, and the outputs of those seconds are dropped: what is kept had all
// the input it reaches, and so is what a decoding in order gives. True when
// done; false when the input is not decoded in parts, or a part could not be
// read (or the decoding was cancelled), and nothing has been handed to
// `samples`.
bool DecodeInParts(const SF_INFO& info, const OpenFrames& open, const DecodeCallbacks& callbacks,
                   const ScanTarget& target);

}
