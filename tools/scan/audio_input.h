// Reads an audio file into the detector's input: mono, 4000 samples/s, 16-bit.
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

using SampleSink = std::function<void(std::span<const int16_t>)>;
using ProgressSink = std::function<void(double fraction)>;

// Decodes `path` ("-" is standard input) with any format libsndfile reads, or
// as raw PCM when `raw` is given; averages the channels, converts the rate to
// 4000/s and hands the samples to `sink` in order. Returns an empty string on
// success, otherwise why the file could not be read.
std::string DecodeForScan(const std::string& path, const std::optional<RawFormat>& raw, const SampleSink& sink,
                          const ProgressSink& progress);

// Full scale 1.0 maps to 32768; values beyond 16 bits are clipped to the
// nearest end, as a saturating recorder would, rather than wrapped.
inline int16_t FloatToSample(float value) {
    if (std::isnan(value)) return 0;
    const double scaled = std::nearbyint(static_cast<double>(value) * 32768.0);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

}
