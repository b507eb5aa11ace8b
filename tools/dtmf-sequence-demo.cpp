// Synthesizes a key sequence at 4000 samples/s, runs it block by block through
// the detector's analysis and press rule, and prints the keys found.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "key_press.h"
#include "tone_analysis.h"

namespace {

constexpr int kRate = 4000;

void AppendKey(std::vector<int16_t>& audio, char key, int samples) {
    static const char* const rows[] = {"123A", "456B", "789C", "*0#D"};
    static const int low[] = {697, 770, 852, 941};
    static const int high[] = {1209, 1336, 1477, 1633};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            if (rows[r][c] != key) continue;
            for (int i = 0; i < samples; ++i) {
                const double t = 2.0 * std::numbers::pi * i / kRate;
                audio.push_back(static_cast<int16_t>(std::lround(4000 * (std::sin(low[r] * t) + std::sin(high[c] * t)))));
            }
        }
    }
}

}

int main(int argc, char** argv) {
    const std::string sequence = argc > 1 ? argv[1] : "0123456789*#ABCD1122";
    std::vector<int16_t> audio;
    for (char key : sequence) {
        AppendKey(audio, key, 2 * tonewatch::kBlockSamples);          // 125 ms of tone
        audio.insert(audio.end(), 2 * tonewatch::kBlockSamples, 0);  // 125 ms of silence
    }
    std::string found;
    uint32_t key_held = 0;
    tonewatch::ToneBank bank;
    uint8_t block[tonewatch::kBlockBytes];
    for (std::size_t start = 0; start + tonewatch::kBlockSamples <= audio.size(); start += tonewatch::kBlockSamples) {
        for (int i = 0; i < tonewatch::kBlockSamples; ++i) {
            const auto u = static_cast<uint16_t>(audio[start + i]);
            block[2 * i] = static_cast<uint8_t>(u & 0xFF);
            block[2 * i + 1] = static_cast<uint8_t>(u >> 8);
        }
        char key[2];
        tonewatch::ToneAnalyseBlock(block, bank, key);
        if (tonewatch::KeyPressAdvance(key_held, key[0])) found += key[0];
    }
    std::printf("played: %s\nheard:  %s\n", sequence.c_str(), found.c_str());
    return found == sequence ? 0 : 1;
}
