// Analysis of one block of 16-bit PCM at 4000 samples/s into at most one DTMF
// key: eight Goertzel filters in 16-bit fixed point, a power threshold and a
// table from the pattern of present frequencies to a key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tonewatch {

inline constexpr int kToneChannels = 8;
inline constexpr int kBlockSamples = 250;
inline constexpr std::size_t kBlockBytes = 2 * kBlockSamples;
inline constexpr int16_t kToneThreshold = 256;

// DTMF frequencies in Hz, low group (rows) then high group (columns).
inline constexpr std::array<int, kToneChannels> kToneFrequencies = {697, 770, 852, 941,
                                                                    1209, 1336, 1477, 1633};

struct ToneFilter {
    int16_t latest;  // written by every step, read by nothing
    int16_t delay1;  // s[n-1]
    int16_t delay2;  // s[n-2]
};

struct ToneBank {
    ToneFilter filter[kToneChannels];
    int16_t coefficient_q14[kToneChannels];  // 2 cos(theta) in Q14
};

// Bit k set: channel k present. Bits 8-15 stay 0.
using ToneMask = int16_t;

// Row = low-group channel, column = high-group channel.
inline constexpr char ToneKeyTable[4][4] = {
    {'1', '2', '3', 'A'},
    {'4', '5', '6', 'B'},
    {'7', '8', '9', 'C'},
    {'*', '0', '#', 'D'},
};

// The coefficient of a channel at `frequency` Hz, by the fixed rule:
// cos(f * 0.0015707963) * 32768.0 + 0.5, truncated toward zero.
int16_t ToneCoefficientQ14(int frequency);

// The eight coefficients, computed once by ToneCoefficientQ14 at load.
const std::array<int16_t, kToneChannels>& ToneCoefficients();

void ToneBankReset(ToneBank& bank);
void ToneFilterStep(ToneFilter& filter, int16_t sample, int16_t coefficient_q14);
void ToneBankFeed(const int16_t* samples, ToneBank& bank, int16_t count);
int16_t ToneFilterPower(ToneFilter& filter, int16_t coefficient_q14);
void ToneBankDecide(ToneMask& mask, ToneBank& bank, int16_t threshold);
void ToneMaskToKey(char out[2], ToneMask mask);
void ToneAnalyseBlock(const uint8_t bytes[kBlockBytes], ToneBank& bank, char key[2]);

}
