// Test signal generator, independent of the code under test: sums of sines
// with given frequency, peak amplitude and phase, rounded to 16-bit PCM.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

#include "dtmf_keypad.h"

namespace tonetest {

struct Tone {
    double frequency;
    double amplitude;
    double phase = 0.0;
};

inline std::vector<int16_t> Synthesize(const std::vector<Tone>& tones, int count, int rate = 4000,
                                       int first_sample = 0) {
    std::vector<int16_t> samples(count);
    for (int i = 0; i < count; ++i) {
        double value = 0.0;
        for (const Tone& tone : tones) {
            value += tone.amplitude *
                     std::sin(2.0 * std::numbers::pi * tone.frequency * (first_sample + i) / rate + tone.phase);
        }
        samples[i] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, value))));
    }
    return samples;
}

inline std::vector<uint8_t> ToLittleEndian(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * samples.size());
    for (int16_t s : samples) {
        const auto u = static_cast<uint16_t>(s);
        bytes.push_back(static_cast<uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<uint8_t>(u >> 8));
    }
    return bytes;
}

// The DTMF pair of a key, or an empty list for anything else.
inline std::vector<Tone> KeyTones(char key, double amplitude) {
    const std::optional<tonewatch::KeyPair> pair = tonewatch::KeyFrequencies(key);
    if (!pair) return {};
    return {{double(pair->low_hz), amplitude}, {double(pair->high_hz), amplitude}};
}

}
