#include "tone_kernels.h"

#include <array>

#if defined(TONEWATCH_KERNELS_NEON) && defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include "tone_kernel_units.h"

namespace tonewatch {

namespace {

void FeedManyScalar(const int16_t* const* blocks, ToneBank* banks, std::size_t n, int16_t count) {
    for (std::size_t i = 0; i < n; ++i) ToneBankFeed(blocks[i], banks[i], count);
}

void AnalyseManyScalar(const int16_t* const* blocks, std::size_t n, int16_t threshold, ToneMask* masks) {
    for (std::size_t i = 0; i < n; ++i) {
        ToneBank bank;
        ToneBankReset(bank);
        ToneBankFeed(blocks[i], bank, kBlockSamples);
        masks[i] = 0;
        ToneBankDecide(masks[i], bank, threshold);
    }
}

struct KernelTable {
    std::array<ToneKernel, 5> kernels{};
    std::size_t size = 0;
    void Add(ToneKernel kernel) { kernels[size++] = kernel; }
};

KernelTable FindKernels() {
    KernelTable table;
    table.Add({"scalar", ToneBankFeed, FeedManyScalar, AnalyseManyScalar});
#if defined(TONEWATCH_KERNELS_X86)
    __builtin_cpu_init();
    table.Add({"sse2", ToneFeedOneSse2, ToneFeedManySse2, ToneAnalyseManySse2});
    // One block fills only eight 16-bit lanes, so the wider sets help only
    // when blocks are interleaved.
    if (__builtin_cpu_supports("avx2")) {
        table.Add({"avx2", ToneFeedOneSse2, ToneFeedManyAvx2, ToneAnalyseManyAvx2});
    }
    if (__builtin_cpu_supports("avx512bw")) {
        table.Add({"avx512", ToneFeedOneSse2, ToneFeedManyAvx512, ToneAnalyseManyAvx512});
    }
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2")) {
        table.Add({"avx512vbmi2", ToneFeedOneSse2, ToneFeedManyAvx512Vbmi2, ToneAnalyseManyAvx512Vbmi2});
    }
#elif defined(TONEWATCH_KERNELS_NEON) && defined(__arm__)
    if (getauxval(AT_HWCAP) & HWCAP_NEON) table.Add({"neon", ToneFeedOneNeon, ToneFeedManyNeon, ToneAnalyseManyNeon});
#elif defined(TONEWATCH_KERNELS_NEON)
    table.Add({"neon", ToneFeedOneNeon, ToneFeedManyNeon, ToneAnalyseManyNeon});
#endif
    return table;
}

const KernelTable& Kernels() {
    static const KernelTable table = FindKernels();
    return table;
}

// Made at load, so that the block handler finds the table ready; the local
// static above still serves anyone who asks during static initialisation.
[[maybe_unused]] const KernelTable& kernels_at_load = Kernels();

}

std::span<const ToneKernel> ToneKernelsAvailable() { return {Kernels().kernels.data(), Kernels().size}; }

const ToneKernel& ToneKernelChosen() { return Kernels().kernels[Kernels().size - 1]; }

}
