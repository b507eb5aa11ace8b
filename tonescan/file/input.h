// What the file side's readers share: how much they read at a time, and
// what they ask of an input's format before decoding it.
#pragma once

#include <sndfile.h>

#include <cstddef>

#include "decode.h"

namespace tonescan {

// The decoded floats of one read, whatever the channel count: a file that
// claims 1024 channels must not make every job allocate hundreds of MB.
inline constexpr std::size_t kReadBytes = std::size_t{1} << 18;
// Frames per read of a file; a stream is read one block (62.5 ms) at a time.
inline constexpr sf_count_t kFileReadFrames = 1 << 15;
inline constexpr int kStreamReadsPerSecond = 16;

// Inputs slower than this are refused.
inline constexpr int kLowestRate = 1000;

// 16-bit PCM of one or two channels is read and mixed as integers: no round
// trip through floats, and no mix at all for one channel.
bool IntegerInput(const SF_INFO& info);

// Why the input cannot give the target's samples, if it cannot.
ScanError ChannelProblem(const SF_INFO& info, const ScanTarget& target);

// After each read: a stream has caught up, a file has got this far.
void Report(const SF_INFO& info, const DecodeCallbacks& callbacks, bool stream, sf_count_t total);

}
