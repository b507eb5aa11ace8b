#include "filters.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>

#include "rates.h"

namespace tonescan {
namespace {

using Floats8 = float __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 8;

// out[m] = the sum over taps i, in order, of taps[i] * x_i[m], where x_i
// starts at `starts[i]`.
TONESCAN_FILTER_CLONES void SumTaps(const float* const* starts, const float* taps, std::size_t tap_count,
                                     float* out, std::size_t outputs) {
    // Four registers of outputs at a time, so that four chains of adds
    // overlap; then one register at a time.
    std::size_t m = 0;
    for (; m + 4 * kLanes <= outputs; m += 4 * kLanes) {
        Floats8 acc[4];
        for (std::size_t i = 0; i < tap_count; ++i) {
            for (std::size_t r = 0; r < 4; ++r) {
                // Loaded by memcpy: the inputs need not be aligned, and a
                // vector passed by value would change the calling convention
                // between builds.
                Floats8 x;
                std::memcpy(&x, starts[i] + m + r * kLanes, sizeof x);
                acc[r] = i == 0 ? taps[0] * x : acc[r] + taps[i] * x;
            }
        }
        std::memcpy(out + m, acc, sizeof acc);
    }
    for (; m + kLanes <= outputs; m += kLanes) {
        Floats8 x;
        std::memcpy(&x, starts[0] + m, sizeof x);
        Floats8 acc = taps[0] * x;
        for (std::size_t i = 1; i < tap_count; ++i) {
            std::memcpy(&x, starts[i] + m, sizeof x);
            acc += taps[i] * x;
        }
        std::memcpy(out + m, &acc, sizeof acc);
    }
    for (; m < outputs; ++m) {
        float acc = taps[0] * starts[0][m];
        for (std::size_t i = 1; i < tap_count; ++i) acc += taps[i] * starts[i][m];
        out[m] = acc;
    }
}

using Ints8 = int32_t __attribute__((vector_size(32)));
using Shorts8 = int16_t __attribute__((vector_size(16)));

}  // namespace

// Adding and taking away 1.5 * 2^23 rounds half to even inline. With
// `scale` a power of two the product is exact, and clamping before rounding
// gives what rounding before clamping does.
TONESCAN_FILTER_CLONES void RoundToSamples(const float* acc, float scale, int16_t* out, std::size_t n) {
    constexpr float kRound = 12582912.0f;
    std::size_t m = 0;
    for (; m + kLanes <= n; m += kLanes) {
        Floats8 v;
        std::memcpy(&v, acc + m, sizeof v);
        v *= scale;
        v = v == v ? v : 0.0f;
        v = v < -32768.0f ? -32768.0f : v;
        v = v > 32767.0f ? 32767.0f : v;
        v = (v + kRound) - kRound;
        const Shorts8 samples = __builtin_convertvector(__builtin_convertvector(v, Ints8), Shorts8);
        std::memcpy(out + m, &samples, sizeof samples);
    }
    for (; m < n; ++m) {
        const float scaled = std::isnan(acc[m]) ? 0.0f : acc[m] * scale;
        const float rounded = (std::clamp(scaled, -32768.0f, 32767.0f) + kRound) - kRound;
        out[m] = static_cast<int16_t>(rounded);
    }
}

namespace {

// The Kaiser window at r (-1..1 across the filter) for kKaiserBeta, about
// 70 dB of stopband: the decimators' taps are sincs under it.
constexpr double kKaiserBeta = 6.76;

double KaiserWindow(double r) {
    const auto bessel_i0 = [](double x) {
        double term = 1.0, sum = 1.0;
        for (int k = 1; k < 40; ++k) {
            term *= (x / (2.0 * k)) * (x / (2.0 * k));
            sum += term;
        }
        return sum;
    };
    return bessel_i0(kKaiserBeta * std::sqrt(1.0 - r * r)) / bessel_i0(kKaiserBeta);
}

// The transition both low-pass steps to 4000/s leave for themselves: keys
// lie below 1660 Hz, and from 2340 Hz up a tone folds onto them.
constexpr double kPassTop = 1660.0;
constexpr double kStopBottom = 2340.0;

// Taps on each side of the middle for a Kaiser-windowed sinc whose
// transition is `width` (a fraction of the sample rate) wide.
std::size_t KaiserReach(double width) {
    return static_cast<std::size_t>(std::ceil(62.0 / (2.285 * 2.0 * M_PI * width) / 2.0));
}

// The low-pass of cutoff `cutoff` (a fraction of the sample rate) at time t
// samples from its middle, before the window.
double Sinc(double cutoff, double t) {
    const double x = 2.0 * M_PI * cutoff * t;
    return 2.0 * cutoff * (t == 0.0 ? 1.0 : std::sin(x) / x);
}

// out[j] = the taps of row rows[j] of `table` (`stride` floats a row) times
// the `stride` inputs from history + offsets[j]: eight lanes summed tap after
// tap, then the lanes in a fixed order. Four outputs at a time keep four
// chains of adds in flight; each output's own sums are the same either way.
TONESCAN_FILTER_CLONES void SumRows(const float* history, const uint32_t* offsets, const uint32_t* rows,
                                     const float* table, std::size_t stride, float* out, std::size_t count) {
    const std::size_t vectors = stride / kLanes;
    const auto lanes = [](const Floats8& acc) {
        return ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
    };
    // acc = (or +=) row `row`'s taps v * 8.. times the inputs from x + v * 8;
    // vectors go by reference, as by value they would change the calling
    // convention between builds.
    const auto add = [&](Floats8& acc, const float* x, uint32_t row, std::size_t v) {
        Floats8 in, taps;
        std::memcpy(&in, x + v * kLanes, sizeof in);
        std::memcpy(&taps, table + row * stride + v * kLanes, sizeof taps);
        acc = v == 0 ? taps * in : acc + taps * in;
    };
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        Floats8 acc[4] = {};
        for (std::size_t v = 0; v < vectors; ++v) {
            for (std::size_t r = 0; r < 4; ++r) add(acc[r], history + offsets[j + r], rows[j + r], v);
        }
        for (std::size_t r = 0; r < 4; ++r) out[j + r] = lanes(acc[r]);
    }
    for (; j < count; ++j) {
        Floats8 acc = {};
        for (std::size_t v = 0; v < vectors; ++v) add(acc, history + offsets[j], rows[j], v);
        out[j] = lanes(acc);
    }
}

// Deals `groups` groups of d sums, scaled, to the d phases, a group to an
// element of each. The common factors get loops of their own, which the
// compiler unrolls.
template <std::size_t D>
void DealGroupsBy(std::size_t d, const int32_t* sums, std::size_t groups, float scale, float* const* phases) {
    const std::size_t factor = D == 0 ? d : D;
    for (std::size_t g = 0; g < groups; ++g) {
        for (std::size_t p = 0; p < factor; ++p) phases[p][g] = static_cast<float>(sums[g * factor + p]) * scale;
    }
}

void DealGroups(std::size_t d, const int32_t* sums, std::size_t groups, float scale, float* const* phases) {
    switch (d) {
        case 2: return DealGroupsBy<2>(d, sums, groups, scale, phases);
        case 5: return DealGroupsBy<5>(d, sums, groups, scale, phases);
        case 6: return DealGroupsBy<6>(d, sums, groups, scale, phases);
        default: return DealGroupsBy<0>(d, sums, groups, scale, phases);
    }
}

}  // namespace

void HalfBandDecimator::Push(std::span<const int32_t> sums, int shift, Buffer<int16_t>& out) {
    history_.insert(history_.end(), sums.begin(), sums.end());
    Run(shift, out);
}

void HalfBandDecimator::Flush(int shift, Buffer<int16_t>& out) {
    history_.insert(history_.end(), kReach, 0);
    Run(shift, out);
}

// Centres sit at odd positions of history_ (kReach is odd), their
// neighbours at even ones; split into the two, each tap runs over
// consecutive outputs.
void HalfBandDecimator::Run(int shift, Buffer<int16_t>& out) {
    static const std::array<int32_t, kReach + 1> taps = [] {
        // h[k] for k = 0..kReach: sinc(k / 2) / 2 under a Kaiser window.
        std::array<int32_t, kReach + 1> q{};
        int32_t total = 0;
        for (int k = 1; k <= kReach; k += 2) {
            const double window = KaiserWindow(static_cast<double>(k) / kReach);
            const double tap = Sinc(0.25, k) * window;
            q[static_cast<std::size_t>(k)] = static_cast<int32_t>(std::lround(tap * 16384.0));
            total += 2 * q[static_cast<std::size_t>(k)];
        }
        q[0] = 16384 - total;  // unity gain at 0 Hz
        return q;
    }();
    if (history_.size() < 2 * kReach + 1) return;
    const std::size_t outputs = (history_.size() - 2 * kReach + 1) / 2;
    const std::size_t evens = (history_.size() + 1) / 2;
    even_.resize(evens);
    odd_.resize(history_.size() / 2);
    acc_.resize(outputs);
    for (std::size_t j = 0; j < evens; ++j) even_[j] = static_cast<float>(history_[2 * j]);
    for (std::size_t j = 0; j < odd_.size(); ++j) odd_[j] = static_cast<float>(history_[2 * j + 1]);
    // The middle tap first, then each pair from the inside out.
    constexpr std::size_t kHalf = kReach / 2;
    std::array<float, kReach + 2> weights;
    std::array<const float*, kReach + 2> starts;
    weights[0] = static_cast<float>(taps[0]);
    starts[0] = odd_.data() + kHalf;
    for (std::size_t i = 0; i <= kHalf; ++i) {
        weights[2 * i + 1] = weights[2 * i + 2] = static_cast<float>(taps[2 * i + 1]);
        starts[2 * i + 1] = even_.data() + kHalf + 1 + i;
        starts[2 * i + 2] = even_.data() + kHalf - i;
    }
    SumTaps(starts.data(), weights.data(), weights.size(), acc_.data(), outputs);
    const std::size_t first = out.size();
    out.resize(first + outputs);
    RoundToSamples(acc_.data(), 1.0f / static_cast<float>(int32_t{1} << shift), out.data() + first, outputs);
    history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(2 * outputs));
}

FirDecimator::FirDecimator(int rate) : factor_(FactorFor(rate)), phases_(factor_) {
    const double lower = static_cast<double>(rate) / static_cast<double>(factor_);
    // Everything from lower - 1660 Hz up folds onto 0-1660 Hz at the lower rate.
    reach_ = KaiserReach((lower - 2 * kPassTop) / rate);
    const double cutoff = 0.5 / static_cast<double>(factor_);  // lower / 2, as a fraction of the rate
    std::vector<double> taps(2 * reach_ + 1);
    double total = 0.0;
    for (std::size_t i = 0; i < taps.size(); ++i) {
        const double n = static_cast<double>(i) - static_cast<double>(reach_);
        taps[i] = Sinc(cutoff, n) * KaiserWindow(n / static_cast<double>(reach_ + 1));
        total += taps[i];
    }
    for (double tap : taps) taps_.push_back(static_cast<float>(tap / total));
    for (std::size_t i = 0; i < reach_; ++i) Deal(0.0f);
}

void FirDecimator::Deal(float value) {
    phases_[held_ % factor_].push_back(value);
    ++held_;
}

void FirDecimator::PushSums(std::span<const int32_t> sums, float scale, Buffer<float>& out) {
    const auto value = [scale](int32_t sum) { return static_cast<float>(sum) * scale; };
    std::size_t i = 0;
    for (; i < sums.size() && held_ % factor_ != 0; ++i) Deal(value(sums[i]));
    // Whole groups of D from phase 0 on: each phase grows by one a group.
    // A push too short to come round to phase 0 has none, and the phases
    // dealt one more sample than the rest must keep it.
    const std::size_t groups = (sums.size() - i) / factor_;
    if (groups > 0) {
        const std::size_t at = held_ / factor_;
        phase_ends_.clear();
        for (Buffer<float>& phase : phases_) {
            phase.resize(at + groups);
            phase_ends_.push_back(phase.data() + at);
        }
        DealGroups(factor_, sums.data() + i, groups, scale, phase_ends_.data());
        held_ += groups * factor_;
    }
    for (i += groups * factor_; i < sums.size(); ++i) Deal(value(sums[i]));
    Run(out);
}

void FirDecimator::Flush(Buffer<float>& out) {
    for (std::size_t i = 0; i < reach_; ++i) Deal(0.0f);
    Run(out);
}

// Output m is centred on sample reach_ + m * D of the history: tap i reads
// sample m * D + i, which is phase i % D at m + i / D.
void FirDecimator::Run(Buffer<float>& out) {
    if (held_ < 2 * reach_ + 1) return;
    const std::size_t outputs = (held_ - 2 * reach_ - 1) / factor_ + 1;
    starts_.resize(taps_.size());
    for (std::size_t i = 0; i < taps_.size(); ++i) starts_[i] = phases_[i % factor_].data() + i / factor_;
    const std::size_t first = out.size();
    out.resize(first + outputs);
    SumTaps(starts_.data(), taps_.data(), taps_.size(), out.data() + first, outputs);
    // What is left still starts at phase 0.
    for (Buffer<float>& phase : phases_) {
        phase.erase(phase.begin(), phase.begin() + static_cast<std::ptrdiff_t>(outputs));
    }
    held_ -= outputs * factor_;
}

namespace {

// Rows in a ratio's table at most: every common recording rate needs 220 or
// fewer.
constexpr int64_t kMostRows = 512;

}  // namespace

std::unique_ptr<RatioDecimator> RatioDecimator::Make(int rate, std::size_t factor) {
    if (rate < 1 || factor < 1) return nullptr;
    // Output n lies n * down / up input samples on.
    const int64_t out = int64_t{kScanRate} * static_cast<int64_t>(factor);
    const int64_t common = std::gcd(int64_t{rate}, out);
    const int64_t up = out / common, down = rate / common;
    const double lower = static_cast<double>(rate) / static_cast<double>(factor);
    // Only down to 4000/s, and from rates whose filter stays short.
    if (up > kMostRows || lower <= kScanRate || lower > 4 * kScanRate) return nullptr;
    const std::size_t reach = KaiserReach((kStopBottom - kPassTop) / lower);
    return std::unique_ptr<RatioDecimator>(new RatioDecimator(up, down, reach, kScanRate / 2.0 / lower));
}

RatioDecimator::RatioDecimator(int64_t up, int64_t down, std::size_t reach, double cutoff)
    : up_(up), down_(down), stride_((2 * reach + 2 + kLanes - 1) / kLanes * kLanes),
      table_(static_cast<std::size_t>(up) * stride_, 0.0f), history_(reach, 0.0f) {
    // Row p, tap k: input k - reach from the one the output follows, at
    // k - reach - p / up from the output's time.
    std::vector<double> row(2 * reach + 2);
    for (int64_t phase = 0; phase < up; ++phase) {
        double total = 0.0;
        for (std::size_t k = 0; k < row.size(); ++k) {
            const double t = static_cast<double>(k) - static_cast<double>(reach) -
                             static_cast<double>(phase) / static_cast<double>(up);
            const double r = t / static_cast<double>(reach + 1);
            row[k] = std::abs(r) < 1.0 ? Sinc(cutoff, t) * KaiserWindow(r) : 0.0;
            total += row[k];
        }
        // Unity gain at 0 Hz in every row.
        float* to = table_.data() + static_cast<std::size_t>(phase) * stride_;
        for (std::size_t k = 0; k < row.size(); ++k) to[k] = static_cast<float>(row[k] / total);
    }
}

void RatioDecimator::Push(std::span<const float> in, Buffer<float>& out) {
    history_.insert(history_.end(), in.begin(), in.end());
    received_ += in.size();
    Run(out);
}

void RatioDecimator::Flush(Buffer<float>& out) {
    // Outputs centred up to the last input, over silence after the end.
    history_.insert(history_.end(), stride_, 0.0f);
    ending_ = true;
    Run(out);
}

void RatioDecimator::Run(Buffer<float>& out) {
    offsets_.clear();
    rows_.clear();
    std::size_t at = at_;
    int64_t phase = phase_;
    const auto whole = static_cast<std::size_t>(down_ / up_);
    const int64_t part = down_ % up_;
    while (at + stride_ <= history_.size() && (!ending_ || taken_ + at < received_)) {
        offsets_.push_back(static_cast<uint32_t>(at));
        rows_.push_back(static_cast<uint32_t>(phase));
        at += whole;
        phase += part;
        if (phase >= up_) {
            phase -= up_;
            ++at;
        }
    }
    const std::size_t first = out.size();
    out.resize(first + offsets_.size());
    SumRows(history_.data(), offsets_.data(), rows_.data(), table_.data(), stride_, out.data() + first,
            offsets_.size());
    const std::size_t done = std::min(at, history_.size());
    history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(done));
    taken_ += done;
    at_ = at - done;
    phase_ = phase;
}

}  // namespace tonescan
