// Interleaved frames to one channel: the mean of all channels, or one alone.
// 16-bit input of one or two channels is mixed as integer sums, which the
// rate conversion scales; other input as floats of full scale 1.0.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "filters.h"

namespace tonescan {

// Mixed samples far beyond full scale clip after the conversion anyway;
// bounding them keeps the filter's sums finite.
inline constexpr double kMixLimit = 16.0;

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

// Whether frames of `channels` 16-bit samples are mixed as integers.
constexpr bool MixesAsIntegers(int channels) { return channels <= 2; }

// The sums of the channels of `n` interleaved frames of 16-bit samples (one
// or two channels), or channel `channel` alone (1 is the first; 0 for the
// sums). The samples need not be aligned.
void SumFrames(const unsigned char* bytes, std::size_t n, std::size_t channels, int channel, int32_t* sums);

inline void MixShorts(const unsigned char* bytes, std::size_t n, std::size_t channels, int channel,
                      Buffer<int32_t>& sums) {
    sums.resize(n);
    SumFrames(bytes, n, channels, channel, sums.data());
}

// The mean of the channels of `n` interleaved float frames, or channel
// `channel` alone, each sample made finite, bounded by kMixLimit.
void MixFloats(const float* frames, std::size_t n, std::size_t channels, int channel, float* mono);

}
