#include "press_tracker_kernel.h"

#include <cmath>
#include <cstring>
#include <numbers>

#if defined(TONEWATCH_KERNELS_X86)
#include <immintrin.h>
#endif

#include "press_tracker.h"

namespace tonescan {
namespace {

constexpr int kB = kTrackerSubBlock;
constexpr int kOut = kTrackerOutputs;

constexpr int kFolds = kTrackerFolds;

const TrackerTable kTable = [] {
    TrackerTable t{};
    for (int m = 0; m < kFolds; ++m) {
        for (int k = 0; k < kToneChannels; ++k) {
            const double angle = 2.0 * std::numbers::pi * kToneFrequencies[k] / kTrackerRate * (m - (kB - 1) / 2.0);
            t[m][k] = static_cast<int16_t>(std::lround(std::cos(angle) * (1 << kTrackerTableShift)));
            t[m][kToneChannels + k] = static_cast<int16_t>(std::lround(-std::sin(angle) * (1 << kTrackerTableShift)));
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
    for (int m = 0; m < kFolds; ++m) {
        const int32_t x = samples[m], y = samples[kB - 1 - m];
        const int32_t half_sum = (x + y + 1) >> 1, half_difference = (x - y) >> 1;
        for (int k = 0; k < kToneChannels; ++k) {
            sum[k] += half_sum * kTable[m][k];
            sum[kToneChannels + k] += half_difference * kTable[m][kToneChannels + k];
        }
    }
    int64_t squares = 0;
    for (int n = 0; n < kB; ++n) squares += samples[n] * samples[n];
    std::copy(sum.begin(), sum.end(), out);
    *energy = squares;
}

void CorrelatePortable(const int16_t* samples, std::size_t blocks, int32_t* out, int64_t* energy) {
    for (std::size_t b = 0; b < blocks; ++b) CorrelateOne(samples + b * kB, out + b * kOut, energy + b);
}

#if defined(TONEWATCH_KERNELS_X86)
// The table by fold pairs: entry p holds, for each channel k, the
// coefficients of folds 2p and 2p+1 side by side, as the 16-bit multiply-add
// takes them: the cosines of the half sums, then the sines of the half
// differences.
struct PairTable {
    alignas(32) std::array<std::array<int16_t, 2 * kToneChannels>, kFolds / 2> cos, sin;
};

const PairTable kPairs = [] {
    PairTable t{};
    for (int p = 0; p < kFolds / 2; ++p) {
        for (int k = 0; k < kToneChannels; ++k) {
            t.cos[p][2 * k] = kTable[2 * p][k];
            t.cos[p][2 * k + 1] = kTable[2 * p + 1][k];
            t.sin[p][2 * k] = kTable[2 * p][kToneChannels + k];
            t.sin[p][2 * k + 1] = kTable[2 * p + 1][kToneChannels + k];
        }
    }
    return t;
}();

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

// Adds the products of fold pair p, the pair that kLane picks from each
// 128-bit half of `sums` and `differences`.
template <int kLane>
[[gnu::target("avx2"), gnu::always_inline]] inline void AddFolds(__m256i& re, __m256i& im, const __m256i& sums,
                                                                 const __m256i& differences, int p) {
    const auto* cos = reinterpret_cast<const __m256i*>(kPairs.cos[static_cast<std::size_t>(p)].data());
    const auto* sin = reinterpret_cast<const __m256i*>(kPairs.sin[static_cast<std::size_t>(p)].data());
    re = _mm256_add_epi32(re, _mm256_madd_epi16(_mm256_shuffle_epi32(sums, kLane), _mm256_load_si256(cos)));
    im = _mm256_add_epi32(im, _mm256_madd_epi16(_mm256_shuffle_epi32(differences, kLane), _mm256_load_si256(sin)));
}

[[gnu::target("avx2")]] void CorrelateAvx2(const int16_t* samples, std::size_t blocks, int32_t* out, int64_t* energy) {
    // Reverses the 16-bit lanes of each 128-bit half; swapping the halves
    // then reverses all sixteen.
    const __m256i reverse = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1, 14, 15, 12, 13, 10,
                                             11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
    // Rounded halves of sums and differences without leaving 16 bits: the
    // unsigned average (u + v + 1) >> 1 of the samples offset by 2^15, and of
    // the offset complement of the second for the difference.
    const __m256i offset = _mm256_set1_epi16(static_cast<int16_t>(0x8000));
    const __m256i complement = _mm256_set1_epi16(0x7FFF);
    for (std::size_t b = 0; b < blocks; ++b, samples += kB, out += kOut) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples));
        const __m256i y = _mm256_permute4x64_epi64(
            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + kFolds)), reverse), 0x4E);
        const __m256i x_offset = _mm256_xor_si256(x, offset);
        const __m256i half_sum = _mm256_xor_si256(_mm256_avg_epu16(x_offset, _mm256_xor_si256(y, offset)), offset);
        const __m256i half_difference =
            _mm256_xor_si256(_mm256_avg_epu16(x_offset, _mm256_xor_si256(y, complement)), offset);
        // Each pair of folds broadcast within its 128-bit half, copied to
        // both halves first: shuffles that leave the multiplier's port free.
        const __m256i sums[2] = {_mm256_permute2x128_si256(half_sum, half_sum, 0x00),
                                 _mm256_permute2x128_si256(half_sum, half_sum, 0x11)};
        const __m256i differences[2] = {_mm256_permute2x128_si256(half_difference, half_difference, 0x00),
                                        _mm256_permute2x128_si256(half_difference, half_difference, 0x11)};
        __m256i re = _mm256_setzero_si256(), im = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            AddFolds<0>(re, im, sums[h], differences[h], 4 * h);
            AddFolds<0x55>(re, im, sums[h], differences[h], 4 * h + 1);
            AddFolds<0xAA>(re, im, sums[h], differences[h], 4 * h + 2);
            AddFolds<0xFF>(re, im, sums[h], differences[h], 4 * h + 3);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), re);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + kToneChannels), im);
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

#endif

struct KernelTable {
    std::array<TrackerKernel, 3> kernels{};
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
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f")) {
            t.kernels[t.size++] = {"avx512", CorrelateAvx2, RecurseAvx512};
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
