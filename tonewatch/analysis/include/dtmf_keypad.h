// The DTMF keypad: the eight frequencies and which pair makes which key. The
// one table of the project; the analysis, the tone phone, the test signals
// and the benchmarks all read it.
#pragma once

#include <array>
#include <optional>

namespace tonewatch {

inline constexpr int kToneChannels = 8;

// DTMF frequencies in Hz, low group (rows) then high group (columns).
inline constexpr std::array<int, kToneChannels> kToneFrequencies = {697, 770, 852, 941,
                                                                    1209, 1336, 1477, 1633};

// Row = low-group channel, column = high-group channel.
inline constexpr char ToneKeyTable[4][4] = {
    {'1', '2', '3', 'A'},
    {'4', '5', '6', 'B'},
    {'7', '8', '9', 'C'},
    {'*', '0', '#', 'D'},
};

// The sixteen keys in table order.
inline constexpr char kDtmfKeys[] = "123A456B789C*0#D";

struct KeyPair {
    int low_hz;
    int high_hz;
};

// The frequency pair of a key; none for anything outside the keypad.
constexpr std::optional<KeyPair> KeyFrequencies(char key) {
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            if (ToneKeyTable[row][column] == key) {
                return KeyPair{kToneFrequencies[row], kToneFrequencies[4 + column]};
            }
        }
    }
    return std::nullopt;
}

}
