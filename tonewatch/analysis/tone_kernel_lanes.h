// The filter recurrence written once over a vector "lanes" type, included by
// each instruction-set unit with its own lanes type. A vector holds the eight
// filters of L::kBlocks independent blocks, lane (filter * kBlocks + block),
// so that one broadcast of kBlocks adjacent sample words feeds every lane.
//
// A lanes type L provides:
//   L::V                 the vector of 8 * kBlocks 16-bit lanes
//   L::kBlocks           blocks per vector
//   L::Load / L::Store   8 * kBlocks words, unaligned
//   L::Samples(p)        the kBlocks words at p, repeated over the vector
//   L::ScaleInterleave8(x, out)
//                        samples x[b][0..7] of each block b, scaled by >> 7,
//                        written as out[n * kBlocks + b]
//   L::ProductQ14(d, c)  per lane, the low 16 bits of (d * c) >> 14
//   L::Add / L::Sub      per lane, wrapping 16-bit
//
// Because the step wraps to 16 bits, it can be done in 16-bit lanes: the low
// 16 bits of a wrapped sum are the wrapped sum of the low 16 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tone_bank.h"
#include "tone_fixed.h"

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
    if (count <= 0) return;
    constexpr int kPerVector = L::kBlocks;
    constexpr int kLanes = kToneChannels * kPerVector;
    using V = typename L::V;

    // The scaled input x >> 7 of each vector's blocks, side by side per sample.
    alignas(64) int16_t scaled[K][kBlockSamples][kPerVector];
    int16_t words[3][K][kLanes];  // delay1, delay2, coefficient
    V d1[K], d2[K], c[K];
    for (int k = 0; k < K; ++k) {
        for (int b = 0; b < kPerVector; ++b) {
            const ToneBank& bank = *banks[k * kPerVector + b];
            for (int j = 0; j < kToneChannels; ++j) {
                words[0][k][j * kPerVector + b] = bank.filter[j].delay1;
                words[1][k][j * kPerVector + b] = bank.filter[j].delay2;
                words[2][k][j * kPerVector + b] = bank.coefficient_q14[j];
            }
        }
        d1[k] = L::Load(words[0][k]);
        d2[k] = L::Load(words[1][k]);
        c[k] = L::Load(words[2][k]);
    }

    for (int first = 0; first < count; first += kBlockSamples) {
        const int n_end = count - first < kBlockSamples ? count - first : kBlockSamples;
        for (int k = 0; k < K; ++k) {
            const int16_t* x[kPerVector];
            for (int b = 0; b < kPerVector; ++b) x[b] = blocks[k * kPerVector + b] + first;
            int n = 0;
            for (; n + 8 <= n_end; n += 8) {
                L::ScaleInterleave8(x, scaled[k][n]);
                for (const int16_t*& p : x) p += 8;
            }
            for (int tail = 0; n < n_end; ++n, ++tail) {
                for (int b = 0; b < kPerVector; ++b) scaled[k][n][b] = Wrap16(Shr16By7(x[b][tail]));
            }
        }
        for (int n = 0; n < n_end; ++n) {
            for (int k = 0; k < K; ++k) {
                // x - d2 does not depend on the product: off the critical path.
                const V x_minus_d2 = L::Sub(L::Samples(scaled[k][n]), d2[k]);
                const V s = L::Add(L::ProductQ14(d1[k], c[k]), x_minus_d2);
                d2[k] = d1[k];
                d1[k] = s;
            }
        }
    }

    for (int k = 0; k < K; ++k) {
        L::Store(words[0][k], d1[k]);
        L::Store(words[1][k], d2[k]);
        for (int b = 0; b < kPerVector; ++b) {
            ToneBank& bank = *banks[k * kPerVector + b];
            for (int j = 0; j < kToneChannels; ++j) {
                bank.filter[j].delay1 = words[0][k][j * kPerVector + b];
                bank.filter[j].delay2 = words[1][k][j * kPerVector + b];
                bank.filter[j].latest = bank.filter[j].delay1;
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
