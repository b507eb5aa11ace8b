#include "mix.h"

#include <bit>
#include <cstring>

namespace tonescan {
namespace {

// Sample i of 16-bit samples in memory that need not be aligned.
inline int32_t ShortAt(const unsigned char* bytes, std::size_t i) {
    int16_t sample;
    std::memcpy(&sample, bytes + 2 * i, sizeof sample);
    return sample;
}

}

TONESCAN_FILTER_CLONES void SumFrames(const unsigned char* bytes, std::size_t n, std::size_t channels, int channel,
                                      int32_t* sums) {
    if (channels == 1) {
        for (std::size_t i = 0; i < n; ++i) sums[i] = ShortAt(bytes, i);
    } else if (channel > 0) {
        const auto c = static_cast<std::size_t>(channel - 1);
        for (std::size_t i = 0; i < n; ++i) sums[i] = ShortAt(bytes, 2 * i + c);
    } else if constexpr (std::endian::native == std::endian::little) {
        // A frame read as one word: the first sample is its low half. Shifts
        // take the halves apart with their signs, in vector code.
        for (std::size_t i = 0; i < n; ++i) {
            uint32_t frame;
            std::memcpy(&frame, bytes + 4 * i, sizeof frame);
            const auto word = static_cast<int32_t>(frame);
            sums[i] = (static_cast<int32_t>(frame << 16) >> 16) + (word >> 16);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) sums[i] = ShortAt(bytes, 2 * i) + ShortAt(bytes, 2 * i + 1);
    }
}

void MixFloats(const float* frames, std::size_t n, std::size_t channels, int channel, float* mono) {
    for (std::size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        if (channel > 0) {
            sum = FiniteSample(frames[i * channels + static_cast<std::size_t>(channel - 1)]);
        } else {
            for (std::size_t c = 0; c < channels; ++c) sum += FiniteSample(frames[i * channels + c]);
            sum /= static_cast<double>(channels);
        }
        mono[i] = static_cast<float>(std::clamp(sum, -kMixLimit, kMixLimit));
    }
}

}
