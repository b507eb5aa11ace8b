// The AVX-512 (BW) lanes type: four blocks per vector. Included by the units
// built for AVX-512, each with the form of the Q14 product its instruction
// set allows; `Product::Q14(d, c)` gives the low 16 bits of (d * c) >> 14.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace tonewatch::lanes {

// GCC 12's unmasked forms of these intrinsics start from an undefined vector
// that trips -Wuninitialized once inlined; the zero-masked forms with every
// lane selected compile to the same instructions.
inline __m512i UnpackLow32(__m512i a, __m512i b) { return _mm512_maskz_unpacklo_epi32(0xFFFF, a, b); }
inline __m512i UnpackHigh32(__m512i a, __m512i b) { return _mm512_maskz_unpackhi_epi32(0xFFFF, a, b); }
template <int kImmediate>
inline __m512i Shuffle128(__m512i a, __m512i b) { return _mm512_maskz_shuffle_i64x2(0xFF, a, b, kImmediate); }
inline __m256i Low256(__m512i a) { return _mm512_maskz_extracti64x4_epi64(0xFF, a, 0); }
inline __m256i High256(__m512i a) { return _mm512_maskz_extracti64x4_epi64(0xFF, a, 1); }
inline __m512i Widen16To32(__m256i a) { return _mm512_maskz_cvtepi16_epi32(0xFFFF, a); }
inline __m512i ShiftRight32By14(__m512i a) { return _mm512_maskz_srai_epi32(0xFFFF, a, 14); }
inline __m512i ShiftLeft32By2(__m512i a) { return _mm512_maskz_slli_epi32(0xFFFF, a, 2); }

// For the vector decision: word (b * 8 + j) of the result takes the power of
// lane j * 4 + b, which is the high word of dword (j * 4 + b) % 16 of the
// first (lanes 0..15) or the second (lanes 16..31) vector of 32-bit values.
struct Avx512PowerOrder {
    uint16_t index[32];
    constexpr Avx512PowerOrder() : index{} {
        for (int b = 0; b < 4; ++b) {
            for (int j = 0; j < 8; ++j) {
                const int lane = j * 4 + b;
                index[b * 8 + j] = static_cast<uint16_t>((lane < 16 ? 0 : 32) + 2 * (lane % 16) + 1);
            }
        }
    }
};

template <class Product>
struct Avx512Lanes {
    using V = __m512i;
    static constexpr int kBlocks = 4;
    static constexpr int kScaleSamples = 32;
    static V Load(const int16_t* p) { return _mm512_loadu_si512(p); }
    static void Store(int16_t* p, V v) { _mm512_storeu_si512(p, v); }
    static V ProductQ14(V d1, V c) { return Product::Q14(d1, c); }
    static V Add(V a, V b) { return _mm512_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm512_sub_epi16(a, b); }
    static V Samples(const int16_t* p) {
        long long four;
        std::memcpy(&four, p, sizeof four);
        return _mm512_set1_epi64(four);
    }
    // A 4 x 32 transpose of words: within each 128-bit lane by unpacking,
    // then of the 128-bit lanes themselves.
    static void ScaleInterleave(const int16_t* const* x, int16_t* out) {
        V r[4];
        for (int b = 0; b < 4; ++b) r[b] = _mm512_srai_epi16(_mm512_loadu_si512(x[b]), 7);
        const V ab_low = _mm512_unpacklo_epi16(r[0], r[1]), ab_high = _mm512_unpackhi_epi16(r[0], r[1]);
        const V cd_low = _mm512_unpacklo_epi16(r[2], r[3]), cd_high = _mm512_unpackhi_epi16(r[2], r[3]);
        // Lane l of o[i] holds samples 8l + 2i and 8l + 2i + 1 of the four blocks.
        const V o0 = UnpackLow32(ab_low, cd_low), o1 = UnpackHigh32(ab_low, cd_low);
        const V o2 = UnpackLow32(ab_high, cd_high), o3 = UnpackHigh32(ab_high, cd_high);
        const V t0 = Shuffle128<0x44>(o0, o1), t1 = Shuffle128<0xEE>(o0, o1);
        const V t2 = Shuffle128<0x44>(o2, o3), t3 = Shuffle128<0xEE>(o2, o3);
        Store(out, Shuffle128<0x88>(t0, t2));
        Store(out + 32, Shuffle128<0xDD>(t0, t2));
        Store(out + 64, Shuffle128<0x88>(t1, t3));
        Store(out + 96, Shuffle128<0xDD>(t1, t3));
    }
    // ToneFilterPower in 32-bit lanes, sixteen at a time; each returns its
    // power as the high word of energy << 2, bits 14..29 of the energy.
    static V EnergyShl2(__m256i delay1, __m256i delay2, __m256i coefficient_q14) {
        const V y1 = Widen16To32(delay1), y2 = Widen16To32(delay2);
        const V t = ShiftRight32By14(_mm512_mullo_epi32(y1, Widen16To32(coefficient_q14)));
        const V energy = _mm512_add_epi32(_mm512_mullo_epi32(y2, _mm512_sub_epi32(y2, t)), _mm512_mullo_epi32(y1, y1));
        return ShiftLeft32By2(energy);
    }
    static uint64_t PresentBits(V d1, V d2, V c, int16_t threshold) {
        static constexpr Avx512PowerOrder kOrder;
        const V low = EnergyShl2(Low256(d1), Low256(d2), Low256(c));
        const V high = EnergyShl2(High256(d1), High256(d2), High256(c));
        const V powers = _mm512_permutex2var_epi16(low, _mm512_loadu_si512(kOrder.index), high);
        return _mm512_cmpgt_epi16_mask(powers, _mm512_set1_epi16(threshold));
    }
};

}
