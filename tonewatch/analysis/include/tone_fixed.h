// Fixed-point steps of the tone analysis. Filter states are signed 16-bit
// words that wrap, coefficients are Q14, intermediate values are 32-bit and
// wrap too; nothing saturates. Each helper's name gives its operand widths
// and its shift. Every wrap goes through an unsigned type so that no step has
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

// int16 * int16 (Q14) -> int32, shifted down by 14; the product of two 16-bit
// values always fits in 32 bits, and the result lies within +-2^16.
constexpr int32_t Mul16x16Shr14(int16_t state, int16_t coefficient_q14) {
    return (int32_t{state} * int32_t{coefficient_q14}) >> 14;
}

// int16 -> int32, shifted down by 7 (rounds toward -inf); within +-256.
constexpr int32_t Shr16By7(int16_t sample) {
    return int32_t{sample} >> 7;
}

// int32 -> int32, shifted down by 14 (rounds toward -inf).
constexpr int32_t Shr32By14(int32_t value) {
    return value >> 14;
}

// Two bytes, low first -> int16.
constexpr int16_t SampleFromLittleEndian(uint8_t low, uint8_t high) {
    return static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
}

}
