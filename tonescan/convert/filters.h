// The low-pass filters that bring recordings down to the scan rate. Each is
// a plain FIR: an output depends on the input near it alone, always through
// the same floating-point operations in the same order, so that a file cut
// into parts decoded side by side gives the samples of a decoding in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

// The filters' kernels, also built for AVX2 and chosen at load where the
// processor has it. Each output is summed in eight-wide registers, one tap
// after another in a fixed order, one multiply and one add per tap (no fused
// multiply-add in either build), so that both builds give the same floats.
// Not under ThreadSanitizer: the loader runs the choosing function before the
// sanitizer's runtime is up, and its instrumented code then crashes.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define TONESCAN_FILTER_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TONESCAN_FILTER_CLONES
#endif

namespace tonescan {

// A vector whose new elements are left as they are rather than zeroed: the
// filters' buffers are written in full after each resize.
template <typename T>
struct Uninitialised : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = Uninitialised<U>;
    };
    Uninitialised() = default;
    template <typename U>
    explicit Uninitialised(const Uninitialised<U>&) {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
template <typename T>
using Buffer = std::vector<T, Uninitialised<T>>;

// out[m] = acc[m] * scale clamped to 16 bits and rounded to the nearest
// integer, half to even; NaN is 0.
void RoundToSamples(const float* acc, float scale, int16_t* out, std::size_t n);

// 8000/s to 4000/s: a half-band low-pass, then every other sample. Keys lie
// below 1660 Hz and what folds onto them from 2340 Hz up is stopped (below
// -63 dB as measured: the 51 taps and their Q14 rounding reach no further than
// that), so 3148 + 2523 Hz cannot pass for a key. A Kaiser-windowed sinc of
// 51 taps in Q14; every other tap but the middle one is zero. Zero phase:
// output sample m is centred on input sample 2m, as a delay-compensated
// converter's is, with silence before the start and after the end.
class HalfBandDecimator {
public:
    static constexpr int kReach = 25;  // taps on each side of the middle

    HalfBandDecimator() : history_(kReach, 0) {}

    // `sums` are input samples scaled by 2^(shift - 14): the sums of two
    // channels come with shift 15.
    void Push(std::span<const int32_t> sums, int shift, Buffer<int16_t>& out);
    void Flush(int shift, Buffer<int16_t>& out);

private:
    void Run(int shift, Buffer<int16_t>& out);

    Buffer<float> even_;
    Buffer<float> odd_;
    Buffer<float> acc_;
    std::vector<int32_t> history_;
};

// A first, cheap step down for high rates: a low-pass and every D-th sample,
// D = rate / 8000, to rate / D of at least 8000/s. It keeps 0-1660 Hz and
// stops everything that would fold onto 0-1660 Hz at the lower rate (below
// -63 dB at D = 2, -68 dB at higher D, as measured: a short filter falls
// short of the window's 70 dB); the step after it does the rest. A Kaiser-windowed sinc, zero
// phase like the half-band decimator, in floats of full scale 1.0.
class FirDecimator {
public:
    explicit FirDecimator(int rate);

    static std::size_t FactorFor(int rate) { return static_cast<std::size_t>(rate / 8000); }
    std::size_t Factor() const { return factor_; }

    // Sums of 16-bit samples, each `scale` of full scale.
    void PushSums(std::span<const int32_t> sums, float scale, Buffer<float>& out);
    void Flush(Buffer<float>& out);

private:
    void Deal(float value);
    void Run(Buffer<float>& out);

    std::size_t factor_;
    std::size_t reach_ = 0;
    std::vector<float> taps_;
    // The history dealt into its D phases as it comes: sample i of the
    // history is phases_[i % D][i / D], so each tap runs over consecutive
    // outputs. held_ samples in all.
    std::vector<Buffer<float>> phases_;
    std::size_t held_ = 0;
    std::vector<float*> phase_ends_;
    std::vector<const float*> starts_;
};

// The last step to 4000/s from 16-bit audio at `rate` that has been through
// a FirDecimator of `factor` (1 for none): a low-pass that keeps 0-1660 Hz
// and stops (below -69 dB as measured) what would fold onto the keys, from
// 2340 Hz up, evaluated at the output times alone. Output n is centred on input time
// n * rate / (4000 * factor), with silence before the start and after the
// end. The filter's phases are a table of L rows, L the output side of the
// rate ratio in lowest terms; ratios whose table would be large are left to
// another converter (Make gives nothing).
class RatioDecimator {
public:
    static std::unique_ptr<RatioDecimator> Make(int rate, std::size_t factor);

    // M: the input samples (after the first step) of one period of the ratio.
    int64_t PeriodInputs() const { return down_; }

    // Floats of full scale 1.0 in, the same out.
    void Push(std::span<const float> in, Buffer<float>& out);
    void Flush(Buffer<float>& out);

private:
    RatioDecimator(int64_t up, int64_t down, std::size_t reach, double cutoff);
    void Run(Buffer<float>& out);

    int64_t up_;    // L: output samples per period
    int64_t down_;  // M: input samples per period
    std::size_t stride_;   // taps per row, padded to whole registers
    std::vector<float> table_;  // row p: the taps for an output p / L past an input sample
    // The input not yet passed by, after a reach of silence before the
    // start; taken_ samples have been dropped from its front, received_
    // have come in, and after Flush silence follows (ending_).
    Buffer<float> history_;
    std::size_t taken_ = 0;
    std::size_t received_ = 0;
    bool ending_ = false;
    // The next output reads the taps' span from history_[at_]: it follows
    // input number taken_ + at_ by phase_ / L of a sample.
    std::size_t at_ = 0;
    int64_t phase_ = 0;
    std::vector<uint32_t> offsets_;
    std::vector<uint32_t> rows_;
};

}  // namespace tonescan
