// Whether an input starts with a header that says what it holds: the raw
// format a caller gives is for inputs without one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "sources.h"
#include "stream.h"

namespace tonescan {

// How much of a stream is looked at: enough for the headers the libraries
// know by their start, and a quarter of a second of 8000/s raw audio, which
// a live stream waits for before its first press can be told. A file gives
// more at no cost, and FFmpeg is surer of a format the more it sees.
inline constexpr std::size_t kHeaderBytes = 4096;
inline constexpr std::size_t kFileHeaderBytes = std::size_t{1} << 16;

// Enough bytes to hold three frames of MPEG audio at any bit rate.
inline constexpr std::size_t kMpegBytes = 8192;
// libsndfile's reason, in its place, for not opening a FalseMpeg input.
inline constexpr const char* kFalseMpeg = "it starts as MPEG audio does, but no MPEG audio frames follow";

// Whether an input that starts as a frame of MPEG audio does is none (the
// head reads up to kMpegBytes more to tell). libsndfile's MPEG decoder
// writes to standard error on such input, so it must not be given it.
bool FalseMpeg(StreamHead& head);

// Whether a stream is MPEG audio: an ID3 tag, or frames that follow one
// another (the head reads up to kMpegBytes more to tell).
bool MpegAudio(StreamHead& head);
bool FalseMpeg(Source& source);

// The format whose header `head` starts with ("WAV", "FLAC", "AIFF", ...),
// when the input would be read by its header: a WAV or FLAC header, or one
// libsndfile opens (all of `file`, when the input is a regular file: a
// header may give the length of what follows it), or one FFmpeg finds with
// confidence. Nothing for bytes that look like no format, as headerless PCM
// does: a weak guess (any bytes may look like a frame of MPEG audio) is no
// header.
std::optional<std::string> KnownHeader(StreamHead& head, const Source* file = nullptr);

}
