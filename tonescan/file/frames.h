// Frame readers: 16-bit interleaved frames read from a regular file,
// from libsndfile, or from libFLAC itself.
#pragma once

#include <sndfile.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "sources.h"

namespace tonescan {

// libsndfile keeps the reason for a failed open in one process-wide slot, so
// parallel jobs must not interleave an open with the reading of that reason.
extern std::mutex open_mutex;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// Reads up to `frames` interleaved frames of 16-bit samples on, in the
// processor's byte order, and returns their bytes; none at the end.
using FrameReader = std::function<std::span<const unsigned char>(sf_count_t frames)>;
// A reader from frame `first` on, for one part; nothing when there is none.
using OpenFrames = std::function<std::optional<FrameReader>(sf_count_t first)>;

// What went wrong reading a regular file, shared by the readers of its parts.
struct ReadFault {
    // The file ended before the frames it held when the scan began: it was
    // cut short or rewritten under the scan.
    std::atomic<bool> ended_early{false};
    // errno of a read that failed.
    std::atomic<int> error{0};
};

// `frames` frames of a regular file from byte `at` on, read into a buffer of
// one read's size. Not mapped: a mapping faults (SIGBUS) when the file
// shrinks under it, and a library must not catch that with a process-wide
// signal handler. The frames end early, with `fault` saying why, when the
// file ends or a read fails.
FrameReader FileFrames(int fd, off_t at, sf_count_t frames, std::size_t frame_bytes, ReadFault& fault);

// The frames libsndfile decodes.
FrameReader SndfileFrames(SNDFILE* file, int channels);

// libsndfile's frame count of a FLAC stream that does not give its length
// (a pipe encoder's): it is read to its end.
inline constexpr sf_count_t kUnknownFrames = SF_COUNT_MAX;

// Frames of a FLAC stream that could not be decoded: from frame `at`, `frames` long.
using FlacDamage = std::function<void(sf_count_t at, sf_count_t frames)>;

// A 16-bit FLAC file's frames from frame `first` on, decoded by libFLAC
// itself: through libsndfile the copying costs about half as much again as
// the decoding, and a damaged frame ends libsndfile's decoding where libFLAC
// finds the next one. Damaged frames are told to `damaged` and given as
// silence. `source` must outlive the reader. Nothing when the file is not as
// `info` says or the seek fails; a failed read ends the frames early.
std::optional<FrameReader> FlacFrames(const Source& source, sf_count_t first, const SF_INFO& info,
                                      const FlacDamage& damaged);

}
