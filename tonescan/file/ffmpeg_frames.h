// What libsndfile cannot open: AAC and ALAC in MP4/M4A, AMR-NB and AMR-WB,
// G.722, Opus in WebM or Matroska, the first audio stream of a video file,
// decoded by FFmpeg's libraries when the build has them.
#pragma once

#include <string>

#include "decode.h"
#include "sources.h"

namespace tonescan {

// Decodes the first audio stream of what `source` holds, as DecodeForScan
// does, after libsndfile gave `sndfile_reason` for not opening it. When
// neither can read it, the error says in one line what was found and what to
// try.
ScanError DecodeUnrecognised(Source& source, const std::string& sndfile_reason, const DecodeCallbacks& callbacks,
                             const ScanTarget& target);

}
