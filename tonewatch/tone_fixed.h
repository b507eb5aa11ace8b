// Fixed-point steps of the tone analysis. Filter states are signed 16-bit
// words that wrap, coefficients are Q14, intermediate values are 32-bit and
// wrap too. Every wrap goes through an unsigned type so that no step has
// undefined behaviour; shifts of negative values are arithmetic (C++20).
#pragma once

#include <cstdint>

namespace tonewatch {

// int32 -> int16: keep the low 16 bits, two's complement.
constexpr int16_t Wrap16(int32_t value) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(value)));
}

// int32 + int32 -> int32, wrapping.
constexpr int32_t AddWrap32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// int32 * int32 -> int32, wrapping.
constexpr int32_t MulWrap32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// int16 * Q14 -> int32, shifted down by 14; the product of two 16-bit
// values always fits in 32 bits, so nothing wraps here.
constexpr int32_t MulQ14(int16_t state, int16_t coefficient_q14) {
    return (int32_t{state} * int32_t{coefficient_q14}) >> 14;
}

// int16 sample -> int32 filter input, scaled down by 128 (rounds toward -inf).
constexpr int32_t ScaleSample(int16_t sample) {
    return int32_t{sample} >> 7;
}

// int32 Q28 energy -> int16 power: shift down by 14, then wrap.
constexpr int16_t PowerFromEnergy(int32_t energy) {
    return Wrap16(energy >> 14);
}

// Two bytes, low first -> int16.
constexpr int16_t SampleFromLittleEndian(uint8_t low, uint8_t high) {
    return static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
}

}
