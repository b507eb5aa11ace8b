// Synthetic music for measuring talk-off: chords, melodies over a bass line,
// and sweeps, as 16-bit mono PCM at 8000/s. Notes are equal-tempered, some of
// which fall within 1% of key frequencies, with the overtones of common
// timbres; every piece is brought to a random level up to 0 dBFS peak.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace tonetest {

enum class Music { kChords, kMelodies, kSweeps };

namespace music_detail {

constexpr int kRate = 8000;

// Overtone amplitudes of a timbre: sine, triangle, square, sawtooth, organ.
inline double Overtone(int timbre, int k) {
    switch (timbre) {
        case 0: return k == 1 ? 1.0 : 0.0;
        case 1: return k % 2 == 1 ? 1.0 / (k * k) : 0.0;
        case 2: return k % 2 == 1 ? 1.0 / k : 0.0;
        case 3: return 1.0 / k;
        default: return k <= 4 ? 1.0 / (1 << (k - 1)) : 0.0;
    }
}

inline double Note(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// Adds a note from sample `first` for `count` samples: attack, then decay.
inline void AddNote(std::vector<double>& piece, std::size_t first, std::size_t count, double hz, int timbre,
                    double amplitude, double decay_per_second) {
    const std::size_t attack = kRate / 100;
    for (int k = 1; k * hz < kRate / 2.0; ++k) {
        const double a = amplitude * Overtone(timbre, k);
        if (a == 0.0) continue;
        const double w = 2 * std::numbers::pi * k * hz / kRate;
        for (std::size_t i = 0; i < count && first + i < piece.size(); ++i) {
            const double envelope = std::min(1.0, double(i) / attack) * std::exp(-decay_per_second * i / kRate);
            piece[first + i] += a * envelope * std::sin(w * double(i));
        }
    }
}

}

// `seconds` of music of one kind; the same seed gives the same audio.
inline std::vector<int16_t> SynthesizeMusic(Music kind, double seconds, uint32_t seed) {
    using namespace music_detail;
    std::mt19937 random(seed);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); };
    auto integer = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(random); };
    std::vector<int16_t> out;
    out.reserve(static_cast<std::size_t>(seconds * kRate));
    while (out.size() < seconds * kRate) {
        // One piece of a few seconds at one level.
        std::vector<double> piece(static_cast<std::size_t>(uniform(2, 8) * kRate), 0.0);
        const int timbre = integer(0, 4);
        if (kind == Music::kChords) {
            for (std::size_t at = 0; at < piece.size();) {
                const auto length = static_cast<std::size_t>(uniform(0.2, 1.2) * kRate);
                const int root = integer(48, 76);
                const int shape[][3] = {{0, 4, 7}, {0, 3, 7}, {0, 4, 10}, {0, 5, 9}, {0, 7, 12}, {0, 3, 8}};
                const auto& chord = shape[integer(0, 5)];
                for (int interval : chord) AddNote(piece, at, length, Note(root + interval), timbre, 1.0, uniform(0, 4));
                if (integer(0, 1) == 1) AddNote(piece, at, length, Note(root + 12 + chord[1]), timbre, 0.7, 2);
                at += length;
            }
        } else if (kind == Music::kMelodies) {
            int note = integer(67, 91);
            for (std::size_t at = 0; at < piece.size();) {
                const auto length = static_cast<std::size_t>(uniform(0.06, 0.4) * kRate);
                note = std::clamp(note + integer(-5, 5), 60, 96);
                AddNote(piece, at, length, Note(note), timbre, 1.0, uniform(0, 3));
                if (integer(0, 1) == 1) {
                    AddNote(piece, at, length, Note(note - 12 * integer(1, 2) - integer(0, 7)), timbre, 0.8, 1);
                }
                at += length;
            }
        } else {
            // One, two or three sines sweeping together, up or down, linearly
            // or exponentially in frequency, with or without overtones.
            const int voices = integer(1, 3);
            std::vector<double> ratio(static_cast<std::size_t>(voices), 1.0);
            for (int v = 1; v < voices; ++v) ratio[static_cast<std::size_t>(v)] = uniform(1.1, 2.5);
            const double from = uniform(150, 1700), to = uniform(150, 1700);
            const bool exponential = integer(0, 1) == 1;
            const int overtones = timbre == 0 ? 1 : 3;
            std::vector<double> phase(static_cast<std::size_t>(voices * overtones), 0.0);
            for (std::size_t i = 0; i < piece.size(); ++i) {
                const double x = double(i) / double(piece.size());
                const double hz = exponential ? from * std::pow(to / from, x) : from + (to - from) * x;
                double v = 0;
                for (int s = 0; s < voices; ++s) {
                    for (int k = 1; k <= overtones; ++k) {
                        double& p = phase[static_cast<std::size_t>(s * overtones + k - 1)];
                        const double f = hz * ratio[static_cast<std::size_t>(s)] * k;
                        if (f < kRate / 2.0) v += std::sin(p) / k;
                        p = std::fmod(p + 2 * std::numbers::pi * f / kRate, 2 * std::numbers::pi);
                    }
                }
                piece[i] = v;
            }
        }
        double peak = 1e-9;
        for (double v : piece) peak = std::max(peak, std::abs(v));
        const double gain = 32767.0 * std::pow(10.0, uniform(-20, 0) / 20) / peak;
        for (double v : piece) out.push_back(static_cast<int16_t>(std::lround(v * gain)));
    }
    out.resize(static_cast<std::size_t>(seconds * kRate));
    return out;
}

}
