// A build without FFmpeg: what libsndfile cannot open is not read.
#include "ffmpeg_frames.h"

#include "tonescan.h"

namespace tonescan {

ScanError DecodeUnrecognised(Source&, const std::string& sndfile_reason, const DecodeCallbacks&, const ScanTarget&) {
    return NeitherReads(sndfile_reason, {});
}

ScanError NeitherReads(const std::string& sndfile_reason, std::span<const unsigned char>) {
    return Fail(TONESCAN_EFORMAT, "not a readable audio file: " + sndfile_reason);
}

bool ReadsWhole(StreamHead&, bool) { return false; }

}
