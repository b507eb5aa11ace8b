// What libsndfile cannot open: AAC and ALAC in MP4/M4A, AMR-NB and AMR-WB,
// G.722, G.729, Opus in WebM or Matroska, an audio stream of a video file,
// decoded by FFmpeg's libraries when the build has them, through the FFmpeg
// reader module (ffmpeg_module.h), loaded the first time it is needed.
#pragma once

#include <span>
#include <string>

#include "decode.h"
#include "sources.h"
#include "stream.h"

namespace tonescan {

// Decodes the target's audio stream of what `source` holds, as DecodeForScan
// does, after libsndfile gave `sndfile_reason` for not opening it. When
// neither can read it, the error says in one line what was found and what to
// try.
ScanError DecodeUnrecognised(Source& source, const std::string& sndfile_reason, const DecodeCallbacks& callbacks,
                             const ScanTarget& target);

// The one line for an input neither library reads: libsndfile's reason, the
// first bytes of `start`, and what to try; or what to install when the
// FFmpeg reader is missing.
ScanError NeitherReads(const std::string& sndfile_reason, std::span<const unsigned char> start);

// Whether a stream that starts with `head` is one for DecodeUnrecognised:
// FFmpeg knows its format and libsndfile does not (a WAV's, when `wav`, from
// the header in the head). Such a stream is read whole before it is decoded,
// as MP4 may keep its index at the end. Reads a few kB more into the head.
bool ReadsWhole(StreamHead& head, bool wav);

}
