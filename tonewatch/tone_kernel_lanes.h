// The filter recurrence written once over a vector "lanes" type, included by
// each instruction-set unit with its own lanes type. Lane j of a vector is
// filter j % 8 of block j / 8 of that vector.
//
// A lanes type L provides:
//   L::V                          the vector of 16-bit lanes
//   L::kBlocks                    blocks per vector (lanes / 8)
//   L::Load(const int16_t* const* p) / Store(int16_t* const* p, V)
//                                 8 words at each of kBlocks addresses
//   L::ProductQ14(d1, c)          the low 16 bits of (d1 * c) >> 14
//   L::Add / Sub                  wrapping 16-bit
//   L::ShiftRightArithmetic7
//   L::Samples(const int16_t* const* blocks, int n)
//                                 sample n of each block, in all 8 of its lanes
//
// Because the step wraps to 16 bits, it can be done in 16-bit lanes: the low
// 16 bits of a wrapped sum are the wrapped sum of the low 16 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tone_analysis.h"

namespace tonewatch::lanes {

// For lanes types with 16x16 multiplies that give either half of the 32-bit
// product: bits 14..29 are (high half << 2) | (low half >> 14, logical),
// exact for every pair of 16-bit inputs.
template <class L>
inline typename L::V ProductQ14FromHalves(typename L::V d1, typename L::V c) {
    return L::Or(L::ShiftLeft2(L::MulHigh(d1, c)), L::ShiftRightLogical14(L::MulLow(d1, c)));
}

// K vectors at once, K * L::kBlocks banks; `blocks` and `banks` hold that many.
template <class L, int K>
inline void FeedInterleaved(const int16_t* const* blocks, ToneBank* const* banks, int16_t count) {
    constexpr int kPerVector = L::kBlocks;
    using V = typename L::V;
    int16_t d1_words[K][kPerVector][kToneChannels];
    int16_t d2_words[K][kPerVector][kToneChannels];
    int16_t c_words[K][kPerVector][kToneChannels];
    V d1[K], d2[K], c[K];
    for (int k = 0; k < K; ++k) {
        const int16_t* d1_at[kPerVector];
        const int16_t* d2_at[kPerVector];
        const int16_t* c_at[kPerVector];
        for (int b = 0; b < kPerVector; ++b) {
            const ToneBank& bank = *banks[k * kPerVector + b];
            for (int j = 0; j < kToneChannels; ++j) {
                d1_words[k][b][j] = bank.filter[j].delay1;
                d2_words[k][b][j] = bank.filter[j].delay2;
                c_words[k][b][j] = bank.coefficient_q14[j];
            }
            d1_at[b] = d1_words[k][b];
            d2_at[b] = d2_words[k][b];
            c_at[b] = c_words[k][b];
        }
        d1[k] = L::Load(d1_at);
        d2[k] = L::Load(d2_at);
        c[k] = L::Load(c_at);
    }
    for (int n = 0; n < count; ++n) {
        for (int k = 0; k < K; ++k) {
            // x - d2 does not depend on the product: off the critical path.
            const V x_minus_d2 = L::Sub(L::ShiftRightArithmetic7(L::Samples(blocks + k * kPerVector, n)), d2[k]);
            const V s = L::Add(L::ProductQ14(d1[k], c[k]), x_minus_d2);
            d2[k] = d1[k];
            d1[k] = s;
        }
    }
    if (count <= 0) return;
    for (int k = 0; k < K; ++k) {
        int16_t* d1_out[kPerVector];
        int16_t* d2_out[kPerVector];
        for (int b = 0; b < kPerVector; ++b) {
            d1_out[b] = d1_words[k][b];
            d2_out[b] = d2_words[k][b];
        }
        L::Store(d1_out, d1[k]);
        L::Store(d2_out, d2[k]);
        for (int b = 0; b < kPerVector; ++b) {
            ToneBank& bank = *banks[k * kPerVector + b];
            for (int j = 0; j < kToneChannels; ++j) {
                bank.filter[j].delay1 = d1_words[k][b][j];
                bank.filter[j].delay2 = d2_words[k][b][j];
                bank.filter[j].latest = d1_words[k][b][j];
            }
        }
    }
}

template <class L>
inline void FeedOne(const int16_t* samples, ToneBank& bank, int16_t count) {
    static_assert(L::kBlocks == 1);
    const int16_t* blocks[1] = {samples};
    ToneBank* banks[1] = {&bank};
    FeedInterleaved<L, 1>(blocks, banks, count);
}

// Groups of K vectors; the blocks left over go through the one-vector path,
// padded with a scratch bank where a vector is not full.
template <class L, int K>
inline void FeedMany(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    constexpr std::size_t kGroup = std::size_t{K} * L::kBlocks;
    std::size_t i = 0;
    for (; i + kGroup <= n; i += kGroup) {
        ToneBank* group[kGroup];
        for (std::size_t b = 0; b < kGroup; ++b) group[b] = &banks[i + b];
        FeedInterleaved<L, K>(blocks + i, group, count);
    }
    while (i < n) {
        ToneBank scratch[L::kBlocks];
        const int16_t* part_blocks[L::kBlocks];
        ToneBank* part_banks[L::kBlocks];
        for (int b = 0; b < L::kBlocks; ++b) {
            const bool real = i + b < n;
            if (!real) ToneBankReset(scratch[b]);
            part_blocks[b] = real ? blocks[i + b] : blocks[i];
            part_banks[b] = real ? &banks[i + b] : &scratch[b];
        }
        FeedInterleaved<L, 1>(part_blocks, part_banks, count);
        i += L::kBlocks;
    }
}

}
