// Reads an audio file into a detector's input: mono 16-bit samples, at
// 4000/s for the block analysis and 8000/s for the press tracker.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace dtmfscan {

inline constexpr int kScanRate = 4000;

// Headerless input: signed 16-bit little-endian PCM, channels interleaved.
struct RawFormat {
    int rate;
    int channels;
};

// What the samples handed over are: their rate, and which channel of the
// input they are (1 for the first), or 0 for the average of all channels.
struct ScanTarget {
    int rate = kScanRate;
    int channel = 0;
};

struct DecodeCallbacks {
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
};

// Decodes `path` ("-" is standard input) with any format libsndfile reads, or
// as raw PCM when `raw` is given; averages the channels or takes the one the
// target names, converts the rate to the target's and hands the samples over
// in order. Regular files are checked against the length their header
// promises; anything else (a pipe, a FIFO, a device) is a stream, read to
// its end as it arrives. Returns an empty string on success, otherwise why
// the input could not be read.
std::string DecodeForScan(const std::string& path, const std::optional<RawFormat>& raw,
                          const DecodeCallbacks& callbacks, const ScanTarget& target = {});

// Full scale 1.0 maps to 32768; values beyond 16 bits are clipped to the
// nearest end, as a saturating recorder would, rather than wrapped.
inline int16_t FloatToSample(float value) {
    if (std::isnan(value)) return 0;
    const double scaled = std::nearbyint(static_cast<double>(value) * 32768.0);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

// One decoded sample as it enters the channel mix: NaN is silence and an
// infinity full scale, so that neither can spread through the rate
// converter's filter and wipe out the audio around it.
inline float FiniteSample(float value) {
    if (std::isnan(value)) return 0.0f;
    if (std::isinf(value)) return std::copysign(1.0f, value);
    return value;
}

}
