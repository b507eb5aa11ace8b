// Reads an audio file into a detector's input: mono 16-bit samples at the
// detector's rate (4000/s for the block analysis, 8000/s for the press
// tracker), from any format libsndfile reads or headerless PCM, from a
// regular file, a pipe or a device.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "rates.h"

namespace tonescan {

// Headerless input: signed 16-bit little-endian PCM, channels interleaved.
struct RawFormat {
    int rate;
    int channels;
};

// What the samples handed over are: their rate, which channel of the input
// they are (1 for the first), or 0 for the average of all channels, and which
// of a container's audio streams (1 for the first; 0 the same). The input's
// file name, if it has one, names the format of a headerless bitstream.
struct ScanTarget {
    int rate = kScanRate;
    int channel = 0;
    int stream = 0;
    std::string name{};
};

// Why an input could not be read: a TONESCAN_E* code and the details.
struct ScanError {
    int code = 0;
    std::string text;
    explicit operator bool() const { return code != 0; }
};

ScanError Fail(int code, std::string text);

struct DecodeCallbacks {
    // The input's own rate, once it is known and before any samples.
    std::function<void(int rate)> rate = [](int) {};
    // The samples at the target rate, in order.
    std::function<void(std::span<const int16_t>)> samples;
    // Streams only: everything read so far has been handed to `samples`.
    // Called after every read, about every 62.5 ms of audio, so that a
    // listener behind a pipe hears of each press as it comes.
    std::function<void()> caught_up = [] {};
    // Files only: the fraction of the file decoded.
    std::function<void(double)> progress = [](double) {};
    // Something about the input worth saying that is not an error.
    std::function<void(const std::string&)> notice = [](const std::string&) {};
    // Set from another thread to end the decoding soon with TONESCAN_ECANCELLED.
    const std::atomic<bool>* cancel = nullptr;

    // Files only: how many threads the decoding of a file may keep busy.
    // With two or more, parts of a file may be decoded side by side, where
    // each sample at the target rate depends on nearby input alone (16-bit
    // PCM at 8000/s or 4000/s, to 4000/s), and otherwise the last step of the
    // rate conversion, and `samples`, may run on a thread of their own. The
    // samples are the same either way; `progress` may be called from the
    // parts' threads. 1: everything in order on the caller's thread.
    int threads = 1;
    // Before the parts start, on the caller's thread: how many there are.
    // Called again with 0 when the parts were given up (one could not be read
    // as the whole file would have been): the samples then come again from
    // the start, in order, through `samples`.
    std::function<void(int count)> parts_begin = [](int) {};
    // A part's samples in order, on the part's own thread. The parts follow
    // one another; each but the last holds a whole number of seconds.
    std::function<void(int part, std::span<const int16_t>)> part_samples = [](int, std::span<const int16_t>) {};

    bool Cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed); }
};

// Decodes `path` ("-" is standard input), or what `fd` reads when `path` is
// empty, with any format libsndfile reads, or as raw PCM when `raw` is
// given; averages the channels or takes the one the target names, converts
// the rate to the target's and hands the samples over in order. Regular
// files are checked against the length their header promises; anything else
// (a pipe, a FIFO, a device) is a stream, read to its end as it arrives.
ScanError DecodeForScan(const std::string& path, int fd, const std::optional<RawFormat>& raw,
                        const DecodeCallbacks& callbacks, const ScanTarget& target = {});

}
