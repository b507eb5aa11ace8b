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

// The folds of a sub-block in one register: the rounded half sums of folds
// 0-15 in the low half, the half differences of folds 15-0 in the high half,
// where the samples reversed meet the samples. Entry p of the table holds,
// for each channel k, the cosines of folds 2p and 2p+1, then the sines of
// folds 2p+1 and 2p, as the high half holds them.
struct FoldTable {
    alignas(64) std::array<std::array<int16_t, 4 * kToneChannels>, kFolds / 2> pairs;
};

const FoldTable kFoldPairs = [] {
    FoldTable t{};
    for (std::size_t p = 0; p < kFolds / 2; ++p) {
        for (std::size_t k = 0; k < kToneChannels; ++k) {
            t.pairs[p][2 * k] = kPairs.cos[p][2 * k];
            t.pairs[p][2 * k + 1] = kPairs.cos[p][2 * k + 1];
            t.pairs[p][2 * kToneChannels + 2 * k] = kPairs.sin[p][2 * k + 1];
            t.pairs[p][2 * kToneChannels + 2 * k + 1] = kPairs.sin[p][2 * k];
        }
    }
    return t;
}();

// Each pair's squares sum to at most 2^31: unsigned 32 bits, split into the
// low and high halves of 64-bit lanes.
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline int64_t EnergyAvx512(const int16_t* samples) {
    const __m512i x = _mm512_loadu_si512(samples);
    const __m512i squares = _mm512_madd_epi16(x, x);
    // Vector arithmetic rather than the shift's intrinsic, of whose
    // undefined source GCC 12 warns.
    typedef uint64_t Wide __attribute__((vector_size(64)));
    const Wide pairs = reinterpret_cast<Wide>(squares);
    const Wide wide = (pairs & 0xFFFFFFFF) + (pairs >> 32);
    alignas(64) std::array<int64_t, 8> lanes;
    std::memcpy(lanes.data(), &wide, sizeof wide);
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// The folds of the sub-block at `samples`, as the table above pairs them.
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline __m512i FoldsAvx512(const int16_t* samples) {
    constexpr __mmask32 kHigh = 0xFFFF0000;
    alignas(64) static constexpr int16_t kReverse[32] = {31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                                                         15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0};
    // The rounded halves as the AVX2 kernel makes them, from the samples
    // offset by 2^15 and, for the differences, the offset complement of the
    // second.
    const __m512i offset = _mm512_set1_epi16(static_cast<int16_t>(0x8000));
    const __m512i second = _mm512_mask_blend_epi16(kHigh, offset, _mm512_set1_epi16(0x7FFF));
    const __m512i x = _mm512_loadu_si512(samples);
    const __m512i y = _mm512_permutexvar_epi16(_mm512_load_si512(kReverse), x);
    const __m512i first_of_fold = _mm512_mask_blend_epi16(kHigh, x, y);
    const __m512i second_of_fold = _mm512_mask_blend_epi16(kHigh, y, x);
    return _mm512_xor_si512(
        _mm512_avg_epu16(_mm512_xor_si512(first_of_fold, offset), _mm512_xor_si512(second_of_fold, second)), offset);
}

// Fold pair p of the half sums in the low half, of the half differences in
// the high half.
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline __m512i FoldPairAvx512(__m512i folds, int p) {
    // The zero-masking form, every lane kept: of the plain one's undefined
    // source GCC 12 warns.
    return _mm512_maskz_permutexvar_epi32(
        0xFFFF, _mm512_mask_blend_epi32(0xFF00, _mm512_set1_epi32(p), _mm512_set1_epi32(kFolds - 1 - p)), folds);
}

[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline __m512i FoldCoefficientsAvx512(int p) {
    return _mm512_load_si512(kFoldPairs.pairs[static_cast<std::size_t>(p)].data());
}

// The correlations come out as the outputs lie: the eight real parts, then
// the eight imaginary ones.
[[gnu::target("avx512f,avx512bw")]] void CorrelateAvx512(const int16_t* samples, std::size_t blocks, int32_t* out,
                                                         int64_t* energy) {
    for (std::size_t b = 0; b < blocks; ++b, samples += kB, out += kOut) {
        const __m512i folds = FoldsAvx512(samples);
        // Two sums, each waiting on half the multiply-adds.
        __m512i even = _mm512_setzero_si512(), odd = _mm512_setzero_si512();
        for (int p = 0; p < kFolds / 2; p += 2) {
            even = _mm512_add_epi32(even, _mm512_madd_epi16(FoldPairAvx512(folds, p), FoldCoefficientsAvx512(p)));
            odd = _mm512_add_epi32(odd, _mm512_madd_epi16(FoldPairAvx512(folds, p + 1), FoldCoefficientsAvx512(p + 1)));
        }
        _mm512_storeu_si512(out, _mm512_add_epi32(even, odd));
        energy[b] = EnergyAvx512(samples);
    }
}

// The multiply-add of pairs adds into the sums in the same instruction; as
// no sum can overflow, they are the same.
[[gnu::target("avx512f,avx512bw,avx512vnni")]] void CorrelateAvx512Vnni(const int16_t* samples, std::size_t blocks,
                                                                         int32_t* out, int64_t* energy) {
    for (std::size_t b = 0; b < blocks; ++b, samples += kB, out += kOut) {
        const __m512i folds = FoldsAvx512(samples);
        __m512i even = _mm512_setzero_si512(), odd = _mm512_setzero_si512();
        for (int p = 0; p < kFolds / 2; p += 2) {
            even = _mm512_dpwssd_epi32(even, FoldPairAvx512(folds, p), FoldCoefficientsAvx512(p));
            odd = _mm512_dpwssd_epi32(odd, FoldPairAvx512(folds, p + 1), FoldCoefficientsAvx512(p + 1));
        }
        _mm512_storeu_si512(out, _mm512_add_epi32(even, odd));
        energy[b] = EnergyAvx512(samples);
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
    std::array<TrackerKernel, 5> kernels{};
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
            if (__builtin_cpu_supports("avx512bw")) {
                t.kernels[t.size++] = {"avx512bw", CorrelateAvx512, RecurseAvx512};
                if (__builtin_cpu_supports("avx512vnni")) {
                    t.kernels[t.size++] = {"avx512vnni", CorrelateAvx512Vnni, RecurseAvx512};
                }
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
