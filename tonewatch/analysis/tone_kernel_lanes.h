// The filter recurrence written once over a vector "lanes" type, included by
// each instruction-set unit with its own lanes type. A vector holds the eight
// filters of L::kBlocks independent blocks, lane (filter * kBlocks + block),
// so that one broadcast of kBlocks adjacent sample words feeds every lane.
//
// A lanes type L provides:
//   L::V                 the vector of 8 * kBlocks 16-bit lanes
//   L::kBlocks           blocks per vector
//   L::kScaleSamples     samples per block that L::ScaleInterleave takes
//   L::Load / L::Store   8 * kBlocks words, unaligned
//   L::Samples(p)        the kBlocks words at p, repeated over the vector
//   L::ScaleInterleave(x, out)
//                        samples x[b][0..kScaleSamples) of each block b,
//                        scaled by >> 7, written as out[n * kBlocks + b]
//   L::ProductQ14(d, c)  per lane, the low 16 bits of (d * c) >> 14
//   L::Add / L::Sub      per lane, wrapping 16-bit
// and may provide
//   L::PresentBits(d1, d2, c, threshold)
//                        per block b, the bits k of the channels whose
//                        ToneFilterPower exceeds threshold: byte b of the
//                        result, for blocks whose states are in d1 and d2.
//
// Because the step wraps to 16 bits, it can be done in 16-bit lanes: the low
// 16 bits of a wrapped sum are the wrapped sum of the low 16 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "tone_decision.h"
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

// Hides a value from the optimiser. x - d2 depends only on the state two
// steps back; left visible, the compiler reassociates the step into
// (product - d2) + x, which puts two adds instead of one on the recurrence's
// critical path and costs a tenth of the interleaved kernels' time.
template <class V>
inline V Apart(V v) {
#if defined(__aarch64__) || defined(__arm__)
    __asm__("" : "+w"(v));
#else
    __asm__("" : "+v"(v));
#endif
    return v;
}

template <class L>
inline typename L::V Step(typename L::V d1, typename L::V d2, typename L::V c, const int16_t* scaled) {
    return L::Add(L::ProductQ14(d1, c), Apart(L::Sub(L::Samples(scaled), d2)));
}

// The states of K vectors, K * L::kBlocks blocks. The vectors are arrays
// indexed only by pack expansions, so that they live in registers.
template <class L, int K>
struct Vectors {
    using V = typename L::V;
    V d1[K];
    V d2[K];
    V c;
};

// Feeds `count` samples of blocks[v * kBlocks + b] into vector v's lanes.
// The scaled input of each vector is laid out side by side per sample first,
// in chunks of one block's length; the steps then alternate the roles of d1
// and d2 instead of moving them.
template <class L, int K, int... v>
inline void FeedVectors(Vectors<L, K>& s, const int16_t* const* blocks, int count, std::integer_sequence<int, v...>) {
    constexpr int kPerVector = L::kBlocks;
    alignas(64) int16_t scaled[K][kBlockSamples][kPerVector];
    for (int first = 0; first < count; first += kBlockSamples) {
        const int n_end = count - first < kBlockSamples ? count - first : kBlockSamples;
        for (int k = 0; k < K; ++k) {
            const int16_t* x[kPerVector];
            for (int b = 0; b < kPerVector; ++b) x[b] = blocks[k * kPerVector + b] + first;
            int n = 0;
            for (; n + L::kScaleSamples <= n_end; n += L::kScaleSamples) {
                L::ScaleInterleave(x, scaled[k][n]);
                for (const int16_t*& p : x) p += L::kScaleSamples;
            }
            for (int tail = 0; n < n_end; ++n, ++tail) {
                for (int b = 0; b < kPerVector; ++b) scaled[k][n][b] = Wrap16(Shr16By7(x[b][tail]));
            }
        }
        int n = 0;
        for (; n + 2 <= n_end; n += 2) {
            ((s.d2[v] = Step<L>(s.d1[v], s.d2[v], s.c, scaled[v][n])), ...);
            ((s.d1[v] = Step<L>(s.d2[v], s.d1[v], s.c, scaled[v][n + 1])), ...);
        }
        if (n < n_end) {
            ((s.d2[v] = Step<L>(s.d1[v], s.d2[v], s.c, scaled[v][n])), ...);
            ((std::swap(s.d1[v], s.d2[v])), ...);
        }
    }
}

// The coefficient of each lane of a vector of the blocks of `banks`.
template <class L>
inline typename L::V LaneCoefficients(const ToneBank* const* banks) {
    int16_t words[kToneChannels * L::kBlocks];
    for (int j = 0; j < kToneChannels; ++j) {
        for (int b = 0; b < L::kBlocks; ++b) words[j * L::kBlocks + b] = banks[b]->coefficient_q14[j];
    }
    return L::Load(words);
}

// K vectors at once, K * L::kBlocks banks; `blocks` and `banks` hold that many.
template <class L, int K, int... v>
inline void FeedInterleaved(const int16_t* const* blocks, ToneBank* const* banks, int16_t count,
                            std::integer_sequence<int, v...> vectors) {
    if (count <= 0) return;
    constexpr int kPerVector = L::kBlocks;
    constexpr int kLanes = kToneChannels * kPerVector;
    // Every vector of a group has the lane coefficients of the first.
    Vectors<L, K> s;
    s.c = LaneCoefficients<L>(banks);
    int16_t words[2][K][kLanes];  // delay1, delay2
    for (int k = 0; k < K; ++k) {
        for (int b = 0; b < kPerVector; ++b) {
            const ToneBank& bank = *banks[k * kPerVector + b];
            for (int j = 0; j < kToneChannels; ++j) {
                words[0][k][j * kPerVector + b] = bank.filter[j].delay1;
                words[1][k][j * kPerVector + b] = bank.filter[j].delay2;
            }
        }
    }
    ((s.d1[v] = L::Load(words[0][v])), ...);
    ((s.d2[v] = L::Load(words[1][v])), ...);

    FeedVectors(s, blocks, count, vectors);

    ((L::Store(words[0][v], s.d1[v])), ...);
    ((L::Store(words[1][v], s.d2[v])), ...);
    for (int k = 0; k < K; ++k) {
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
    FeedInterleaved<L, 1>(blocks, banks, count, std::make_integer_sequence<int, 1>());
}

// Vectors share one coefficient vector when their banks' coefficients agree,
// as they do for every bank the analysis makes; others go one at a time.
template <class L>
inline bool SameCoefficients(ToneBank* const* banks, std::size_t n) {
    for (std::size_t i = L::kBlocks; i < n; ++i) {
        for (int j = 0; j < kToneChannels; ++j) {
            if (banks[i]->coefficient_q14[j] != banks[i % L::kBlocks]->coefficient_q14[j]) return false;
        }
    }
    return true;
}

// Groups of K vectors, then of K / 2 and so on; the blocks left over go
// through one vector padded with a scratch bank.
template <class L, int K>
inline void FeedMany(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    constexpr std::size_t kGroup = std::size_t{K} * L::kBlocks;
    std::size_t i = 0;
    for (; i + kGroup <= n; i += kGroup) {
        ToneBank* group[kGroup];
        for (std::size_t b = 0; b < kGroup; ++b) group[b] = &banks[i + b];
        if (K > 1 && !SameCoefficients<L>(group, kGroup)) {
            FeedMany<L, 1>(blocks + i, banks + i, kGroup, count);
            continue;
        }
        FeedInterleaved<L, K>(blocks + i, group, count, std::make_integer_sequence<int, K>());
    }
    if constexpr (K > 1) {
        FeedMany<L, K / 2>(blocks + i, banks + i, n - i, count);
    } else if (i < n) {
        ToneBank scratch[L::kBlocks];
        const int16_t* part_blocks[L::kBlocks];
        ToneBank* part_banks[L::kBlocks];
        for (int b = 0; b < L::kBlocks; ++b) {
            const bool real = i + b < n;
            scratch[b] = banks[i];
            part_blocks[b] = real ? blocks[i + b] : blocks[i];
            part_banks[b] = real ? &banks[i + b] : &scratch[b];
        }
        FeedInterleaved<L, 1>(part_blocks, part_banks, count, std::make_integer_sequence<int, 1>());
    }
}

// K vectors of whole blocks from reset banks, decided at `threshold`.
template <class L, int K, int... v>
inline void AnalyseInterleaved(const int16_t* const* blocks, int16_t threshold, ToneMask* masks,
                               std::integer_sequence<int, v...> vectors) {
    constexpr int kPerVector = L::kBlocks;
    ToneBank reset;
    ToneBankReset(reset);
    const ToneBank* reset_banks[kPerVector];
    for (const ToneBank*& bank : reset_banks) bank = &reset;
    Vectors<L, K> s;
    s.c = LaneCoefficients<L>(reset_banks);
    const typename L::V zero = L::Sub(s.c, s.c);
    ((s.d1[v] = zero), ...);
    ((s.d2[v] = zero), ...);
    FeedVectors(s, blocks, kBlockSamples, vectors);
    uint64_t present[K];
    ((present[v] = L::PresentBits(s.d1[v], s.d2[v], s.c, threshold)), ...);
    for (int k = 0; k < K; ++k) {
        for (int b = 0; b < kPerVector; ++b) {
            masks[k * kPerVector + b] = static_cast<ToneMask>((present[k] >> (8 * b)) & 0xFF);
        }
    }
}

// What ToneAnalyseMany promises: per block, a reset bank fed kBlockSamples
// samples and decided. Lanes types with a vector decision decide in their
// registers; the others store the banks and decide each with the definition.
template <class L, int K>
inline void AnalyseMany(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks) {
    if constexpr (requires(typename L::V x) { L::PresentBits(x, x, x, threshold); }) {
        constexpr std::size_t kGroup = std::size_t{K} * L::kBlocks;
        std::size_t i = 0;
        for (; i + kGroup <= n; i += kGroup) {
            AnalyseInterleaved<L, K>(blocks + i, threshold, masks + i, std::make_integer_sequence<int, K>());
        }
        if constexpr (K > 1) {
            AnalyseMany<L, K / 2>(blocks + i, n - i, threshold, masks + i);
        } else if (i < n) {
            const int16_t* part_blocks[L::kBlocks];
            ToneMask part_masks[L::kBlocks];
            for (int b = 0; b < L::kBlocks; ++b) part_blocks[b] = i + b < n ? blocks[i + b] : blocks[i];
            AnalyseInterleaved<L, 1>(part_blocks, threshold, part_masks, std::make_integer_sequence<int, 1>());
            for (std::size_t b = 0; i + b < n; ++b) masks[i + b] = part_masks[b];
        }
    } else {
        constexpr std::size_t kChunk = 64;
        ToneBank banks[kChunk];
        for (std::size_t first = 0; first < n; first += kChunk) {
            const std::size_t m = n - first < kChunk ? n - first : kChunk;
            for (std::size_t i = 0; i < m; ++i) ToneBankReset(banks[i]);
            FeedMany<L, K>(blocks + first, banks, m, kBlockSamples);
            for (std::size_t i = 0; i < m; ++i) {
                masks[first + i] = 0;
                ToneBankDecide(masks[first + i], banks[i], threshold);
            }
        }
    }
}

}
