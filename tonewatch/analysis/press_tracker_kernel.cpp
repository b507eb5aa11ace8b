#include "press_tracker_kernel.h"

#include <cmath>
#include <cstring>
#include <numbers>

#if defined(TONEWATCH_KERNELS_X86)
#include <immintrin.h>
#endif

#include "press_tracker.h"

namespace tonewatch {
namespace {

constexpr int kB = kTrackerSubBlock;
constexpr int kOut = kTrackerOutputs;

const TrackerTable kTable = [] {
    TrackerTable t{};
    for (int n = 0; n < kB; ++n) {
        for (int k = 0; k < kToneChannels; ++k) {
            const double w = 2.0 * std::numbers::pi * kToneFrequencies[k] / kTrackerRate;
            t[n][k] = static_cast<int16_t>(std::lround(std::cos(w * n) * (1 << kTrackerTableShift)));
            t[n][kToneChannels + k] = static_cast<int16_t>(std::lround(-std::sin(w * n) * (1 << kTrackerTableShift)));
        }
    }
    return t;
}();

// The recursions of all frequencies run side by side, one sample at a time,
// in vectors of W floats: as wide as the instruction set's registers, so that
// the compiler keeps them there.
template <int W>
[[gnu::always_inline]] inline void Recurse(const float* samples, const float* coefficient, float* last,
                                           float* before_last) {
    // A typedef, and plain arrays: template arguments and aliases would
    // lose the vector attribute.
    typedef float Floats __attribute__((vector_size(4 * W)));
    constexpr int kVectors = kTrackerProbes / W;
    static_assert(kTrackerProbeSamples % 2 == 0);
    // Two steps at a time, the states trading places instead of being
    // copied: s1 and s2 stay in registers, the coefficients are read from
    // memory, which keeps no dependency waiting.
    Floats s1[kVectors] = {}, s2[kVectors] = {};
    for (int n = 0; n < kTrackerProbeSamples; n += 2) {
        const float x0 = samples[n], x1 = samples[n + 1];
        for (int i = 0; i < kVectors; ++i) {
            Floats c;
            std::memcpy(&c, coefficient + i * W, sizeof c);
            // x - s2 is ready a step ahead, so one fused multiply-add
            // carries the recursion from step to step.
            s2[i] = c * s1[i] + (x0 - s2[i]);
        }
        for (int i = 0; i < kVectors; ++i) {
            Floats c;
            std::memcpy(&c, coefficient + i * W, sizeof c);
            s1[i] = c * s2[i] + (x1 - s1[i]);
        }
    }
    for (int i = 0; i < kVectors; ++i) {
        std::memcpy(last + i * W, &s1[i], sizeof s1[i]);
        std::memcpy(before_last + i * W, &s2[i], sizeof s2[i]);
    }
}

void RecursePortable(const float* samples, const float* coefficient, float* last, float* before_last) {
    Recurse<4>(samples, coefficient, last, before_last);
}

void CorrelateOne(const int16_t* samples, int32_t* out, int64_t* energy) {
    std::array<int32_t, kOut> sum{};
    int64_t squares = 0;
    for (int n = 0; n < kB; ++n) {
        const int32_t x = samples[n];
        for (int r = 0; r < kOut; ++r) sum[r] += x * kTable[n][r];
        squares += x * x;
    }
    std::copy(sum.begin(), sum.end(), out);
    *energy = squares;
}

void CorrelatePortable(const int16_t* samples, std::size_t blocks, int32_t* out, int64_t* energy) {
    for (std::size_t b = 0; b < blocks; ++b) CorrelateOne(samples + b * kB, out + b * kOut, energy + b);
}

#if defined(TONEWATCH_KERNELS_X86)
// The table by sample pairs: entry q holds, for each output r, the
// coefficients of samples 2q and 2q+1 side by side, as the 16-bit
// multiply-add takes them.
struct PairTable {
    alignas(64) std::array<std::array<int16_t, 2 * kOut>, kB / 2> pair;
};

const PairTable kPairs = [] {
    PairTable t{};
    for (int q = 0; q < kB / 2; ++q) {
        for (int r = 0; r < kOut; ++r) {
            t.pair[q][2 * r] = kTable[2 * q][r];
            t.pair[q][2 * r + 1] = kTable[2 * q + 1][r];
        }
    }
    return t;
}();

// Samples 2q and 2q+1 as one 32-bit word.
int32_t Pair(const int16_t* samples, int q) {
    int32_t pair;
    std::memcpy(&pair, samples + 2 * q, sizeof pair);
    return pair;
}

// Each pair's squares sum to at most 2^31: unsigned 32 bits, split into the
// low and high halves of 64-bit lanes.
[[gnu::target("avx2")]] int64_t EnergyAvx2(const int16_t* samples) {
    const __m256i low_half = _mm256_set1_epi64x(0xFFFFFFFF);
    __m256i wide = _mm256_setzero_si256();
    for (int i = 0; i < kB; i += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + i));
        const __m256i squares = _mm256_madd_epi16(x, x);
        wide = _mm256_add_epi64(wide, _mm256_and_si256(squares, low_half));
        wide = _mm256_add_epi64(wide, _mm256_srli_epi64(squares, 32));
    }
    alignas(32) std::array<int64_t, 4> lanes;
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.data()), wide);
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

[[gnu::target("avx2")]] void CorrelateAvx2(const int16_t* samples, std::size_t blocks, int32_t* out, int64_t* energy) {
    for (std::size_t b = 0; b < blocks; ++b, samples += kB, out += kOut) {
        __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
        for (int q = 0; q < kB / 2; ++q) {
            const __m256i x = _mm256_set1_epi32(Pair(samples, q));
            const auto* row = reinterpret_cast<const __m256i*>(kPairs.pair[q].data());
            low = _mm256_add_epi32(low, _mm256_madd_epi16(x, _mm256_load_si256(row)));
            high = _mm256_add_epi32(high, _mm256_madd_epi16(x, _mm256_load_si256(row + 1)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), high);
        energy[b] = EnergyAvx2(samples);
    }
}

[[gnu::target("avx2,fma")]] void RecurseAvx2(const float* samples, const float* coefficient, float* last,
                                              float* before_last) {
    Recurse<8>(samples, coefficient, last, before_last);
}

[[gnu::target("avx512f")]] void RecurseAvx512(const float* samples, const float* coefficient, float* last,
                                              float* before_last) {
    Recurse<16>(samples, coefficient, last, before_last);
}

[[gnu::target("avx512f,avx512bw")]] void CorrelateAvx512(const int16_t* samples, std::size_t blocks, int32_t* out,
                                                         int64_t* energy) {
    for (std::size_t b = 0; b < blocks; ++b, samples += kB, out += kOut) {
        // Two sums, over alternate pairs, so that the additions overlap.
        __m512i even = _mm512_setzero_si512(), odd = _mm512_setzero_si512();
        for (int q = 0; q < kB / 2; q += 2) {
            even = _mm512_add_epi32(even, _mm512_madd_epi16(_mm512_set1_epi32(Pair(samples, q)),
                                                             _mm512_load_si512(kPairs.pair[q].data())));
            odd = _mm512_add_epi32(odd, _mm512_madd_epi16(_mm512_set1_epi32(Pair(samples, q + 1)),
                                                           _mm512_load_si512(kPairs.pair[q + 1].data())));
        }
        _mm512_storeu_si512(out, _mm512_add_epi32(even, odd));
        energy[b] = EnergyAvx2(samples);
    }
}

// The same with the fused 16-bit multiply-add of AVX-512 VNNI.
[[gnu::target("avx512f,avx512bw,avx512vnni")]] void CorrelateAvx512Vnni(const int16_t* samples, std::size_t blocks,
                                                                      int32_t* out, int64_t* energy) {
    for (std::size_t b = 0; b < blocks; ++b, samples += kB, out += kOut) {
        __m512i even = _mm512_setzero_si512(), odd = _mm512_setzero_si512();
        for (int q = 0; q < kB / 2; q += 2) {
            even = _mm512_dpwssd_epi32(even, _mm512_set1_epi32(Pair(samples, q)), _mm512_load_si512(kPairs.pair[q].data()));
            odd = _mm512_dpwssd_epi32(odd, _mm512_set1_epi32(Pair(samples, q + 1)),
                                      _mm512_load_si512(kPairs.pair[q + 1].data()));
        }
        _mm512_storeu_si512(out, _mm512_add_epi32(even, odd));
        energy[b] = EnergyAvx2(samples);
    }
}
#endif

struct KernelTable {
    std::array<TrackerKernel, 4> kernels{};
    std::size_t size = 0;
};

const KernelTable& Kernels() {
    static const KernelTable table = [] {
        KernelTable t;
        t.kernels[t.size++] = {"portable", CorrelatePortable, RecursePortable};
#if defined(TONEWATCH_KERNELS_X86)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
            t.kernels[t.size++] = {"avx2", CorrelateAvx2, RecurseAvx2};
        }
        if (__builtin_cpu_supports("avx512bw")) {
            t.kernels[t.size++] = {"avx512", CorrelateAvx512, RecurseAvx512};
            if (__builtin_cpu_supports("avx512vnni")) {
                t.kernels[t.size++] = {"avx512vnni", CorrelateAvx512Vnni, RecurseAvx512};
            }
        }
#endif
        return t;
    }();
    return table;
}

}

const TrackerTable& TrackerCorrelationTable() { return kTable; }

std::span<const TrackerKernel> TrackerKernels() { return std::span(Kernels().kernels).first(Kernels().size); }

const TrackerKernel& TrackerKernelChosen() {
    static const TrackerKernel& chosen = TrackerKernels().back();
    return chosen;
}

}
