#include "press_tracker_windows.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string_view>

#include "press_tracker_common.h"
#include "press_tracker_kernel.h"

namespace tonescan {

using namespace tracker;

namespace {

using Levels = TrackerLevels;

constexpr int kHighSamples = kB * PressTracker::kHighBlocks;

// Levels are squared peak amplitudes in 16-bit units.
const float kMinLevel = static_cast<float>(Db(-45) * 32768.0 * 32768.0);
const float kMinHeldLevel = static_cast<float>(Db(-48) * 32768.0 * 32768.0);
// The high tone's level over the low tone's.
const float kMinTwist = static_cast<float>(Db(-14));
const float kMaxTwist = static_cast<float>(Db(12));
const float kMinHeldTwist = static_cast<float>(Db(-16));
const float kMaxHeldTwist = static_cast<float>(Db(14));
// GSM 06.10 may code a key's high tone 15-25 dB under its low one for most
// of a short key. A window with nearly all its power in the two tones may
// have that much twist: speech never puts so much into two key frequencies
// with the others quiet.
const float kMinCleanTwist = static_cast<float>(Db(-20));
const float kMinHeldCleanTwist = static_cast<float>(Db(-26));
constexpr float kCleanShare = 0.85f;
// The share of the window's power in the two tones. GSM 06.10 spreads a
// tone's first frame over other frequencies, and many a coded key has only
// a few windows above 60%; below about half, melodies start keys.
constexpr float kShare = 0.55f;
constexpr float kHeldShare = 0.4f;
// In white noise as strong as the tones, they hold only half the window's
// power. Where the other key frequencies hold kWhite at least of what the
// rest of the power would put into each if it were spread evenly, the tones
// need kNoisyShare only: music and speech put the rest into their own notes
// and partials, mostly beside the key frequencies.
constexpr float kNoisyShare = 0.42f;
constexpr float kWhite = 0.8f;
// How far under their group's tone the other key frequencies of a group stay.
const float kPurity = static_cast<float>(Db(-8));
// Where the tones hold kOverPurityShare of the window's power, another key
// frequency may hold what a background kBackground under them can put into
// one frequency: a third key frequency as strong as the tones leaves them 67%
// of the power.
const float kBackgroundLevel = static_cast<float>(kBackground);
constexpr float kOverPurityShare = 0.72f;

// Sixteen floats, the width of one sub-block's correlations: real parts of
// the eight channels, then imaginary parts.
using Floats = float __attribute__((vector_size(4 * kTrackerOutputs)));
using Ints = int32_t __attribute__((vector_size(4 * kTrackerOutputs)));

// Vectors are passed by reference only: their by-value ABI depends on the
// instruction set.
void Load(Floats& f, const float* v) { std::memcpy(&f, v, sizeof f); }

// Each sub-block's correlations start from phase 0 at its own middle;
// turning them back by each frequency's phase there puts all sub-blocks on
// the stream's time line. 32 samples are f/250 turns of f Hz, so the turns
// repeat every 250 sub-blocks. For (re, im) turned back by a: re cos a +
// im sin a, im cos a - re sin a; row j holds cos a twice, and sin a and
// -sin a, for a = f_k (j / 250 + 15.5 / 8000) turns, scaled from the
// kernel's Q11 halves to sample units.
struct Turns {
    std::array<std::array<float, kTrackerOutputs>, 250> cos, sin;
};

const Turns kTurns = [] {
    Turns t{};
    for (int j = 0; j < 250; ++j) {
        for (int k = 0; k < kToneChannels; ++k) {
            const double angle = 2 * std::numbers::pi * (((kToneFrequencies[k] * j) % 250) / 250.0 +
                                                          kToneFrequencies[k] * ((kB - 1) / 2.0) / kTrackerRate);
            const double scale = 2.0 / (1 << kTrackerTableShift);
            t.cos[j][k] = t.cos[j][kToneChannels + k] = static_cast<float>(std::cos(angle) * scale);
            t.sin[j][k] = static_cast<float>(std::sin(angle) * scale);
            t.sin[j][kToneChannels + k] = -t.sin[j][k];
        }
    }
    return t;
}();

constexpr float kOffsetFollow = 1.0f / 8;

// What a constant of 1 adds to each of a sub-block's correlations, in the
// kernel's units: the cosine columns' sums (the sines' cancel). Made on
// first use: the table is another file's, made at load.
const std::array<float, kTrackerOutputs>& Constant() {
    static const std::array<float, kTrackerOutputs> constant = [] {
        std::array<float, kTrackerOutputs> c{};
        for (int k = 0; k < kToneChannels; ++k) {
            float sum = 0;
            for (int m = 0; m < kTrackerFolds; ++m) sum += TrackerCorrelationTable()[static_cast<std::size_t>(m)][k];
            c[static_cast<std::size_t>(k)] = sum;
        }
        return c;
    }();
    return constant;
}

// The levels of the window ending at sub-block `newest`, whose correlations
// and energy lie with those of the sub-blocks before it in `v` and `energy`.
[[gnu::always_inline]] inline Levels WindowLevels(const Floats* v, const float* energy, std::size_t newest) {
    const auto at = [&](std::size_t back) -> const Floats& { return v[newest - back]; };
    // Sub-blocks 1 to 4 back make the middle, 0 and 5 complete the whole.
    Floats whole = at(PressTracker::kLowBlocks - 1);
    whole += at(0);
    Floats middle = at(1);
    for (std::size_t back = 2; back <= PressTracker::kHighBlocks; ++back) middle += at(back);
    whole += middle;
    // Squared magnitudes: the low channels over the whole window, the high
    // ones over its middle.
    using Eight = float __attribute__((vector_size(4 * kToneChannels)));
    whole *= whole;
    middle *= middle;
    const Eight whole_levels = __builtin_shufflevector(whole, whole, 0, 1, 2, 3, 4, 5, 6, 7) +
                               __builtin_shufflevector(whole, whole, 8, 9, 10, 11, 12, 13, 14, 15);
    const Eight middle_levels = __builtin_shufflevector(middle, middle, 0, 1, 2, 3, 4, 5, 6, 7) +
                                __builtin_shufflevector(middle, middle, 8, 9, 10, 11, 12, 13, 14, 15);
    constexpr float kLowScale = 4.0f / (kLowSamples * kLowSamples), kHighScale = 4.0f / (kHighSamples * kHighSamples);
    constexpr Eight kScale = {kLowScale, kLowScale, kLowScale, kLowScale, kHighScale, kHighScale, kHighScale, kHighScale};
    const Eight levels = __builtin_shufflevector(whole_levels, middle_levels, 0, 1, 2, 3, 12, 13, 14, 15) * kScale;
    Levels w;
    std::memcpy(w.level.data(), &levels, sizeof levels);
    const auto e = [&](std::size_t back) { return energy[newest - back]; };
    float power = (e(0) + e(1)) + (e(2) + e(3)) + (e(4) + e(5));
    w.power = power * (1.0f / kLowSamples);
    return w;
}

// The work of every sub-block, for `blocks` of them from the stream's sub-block
// `first`: their correlations, turned onto the stream's time line and kept
// in `history`, then the levels of the windows ending with each, whose
// correlations are the sums of their sub-blocks'. Compiled for each
// instruction set the kernels are.
[[gnu::always_inline]] inline void FrontBody(TrackerCorrelate correlate, const int16_t* samples, std::size_t blocks,
                                              int64_t first, float& offset, PressTracker::SubBlock* history, Levels* out) {
    constexpr auto kHistory = static_cast<std::size_t>(PressTracker::kHistory);
    constexpr std::size_t kBefore = PressTracker::kLowBlocks - 1;
    alignas(64) std::array<int32_t, kTrackerOutputs * kFrontBatch> local;
    std::array<int64_t, kFrontBatch> energy;
    correlate(samples, blocks, local.data(), energy.data());
    Floats constant;
    Load(constant, Constant().data());
    // The batch's sub-blocks in a row after those before it that its first
    // window takes, as well as in the ring of the history: each window's
    // then lie side by side.
    std::array<Floats, kBefore + kFrontBatch> line;
    std::array<float, kBefore + kFrontBatch> line_energy;
    for (std::size_t n = 0; n < kBefore; ++n) {
        const PressTracker::SubBlock& s = history[(static_cast<std::size_t>(first) - kBefore + n) % kHistory];
        Load(line[n], s.v.data());
        line_energy[n] = s.energy;
    }
    std::size_t turn = static_cast<std::size_t>(first) % 250;
    for (std::size_t b = 0; b < blocks; ++b) {
        PressTracker::SubBlock& s = history[(static_cast<std::size_t>(first) + b) % kHistory];
        // Each sub-block without the stream's offset, followed from the
        // sub-blocks' means over some 30 ms: an offset would otherwise take
        // the tones' share of the power and leak into the key frequencies.
        // Slowly, so that a tone's edge, whose part of a sub-block has a
        // mean, is not moved.
        const int16_t* x = samples + b * kB;
        int32_t sum = 0;
        for (int n = 0; n < kB; ++n) sum += x[n];
        offset += (static_cast<float>(sum) / kB - offset) * kOffsetFollow;
        const float mean = offset;
        s.energy = std::max(0.0f, static_cast<float>(energy[b]) - mean * (2 * static_cast<float>(sum) - kB * mean));
        Ints ints;
        std::memcpy(&ints, local.data() + b * kTrackerOutputs, sizeof ints);
        const Floats v = __builtin_convertvector(ints, Floats) - mean * constant;
        const Floats swapped = __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
        Floats cos, sin;
        Load(cos, kTurns.cos[turn].data());
        Load(sin, kTurns.sin[turn].data());
        turn = turn + 1 == 250 ? 0 : turn + 1;
        const Floats turned = v * cos + swapped * sin;
        std::memcpy(s.v.data(), &turned, sizeof turned);
        line[kBefore + b] = turned;
        line_energy[kBefore + b] = s.energy;
        out[b] = WindowLevels(line.data(), line_energy.data(), kBefore + b);
    }
}

using Front = void (*)(TrackerCorrelate, const int16_t*, std::size_t, int64_t, float&, PressTracker::SubBlock*, Levels*);

void FrontPortable(TrackerCorrelate correlate, const int16_t* samples, std::size_t blocks, int64_t first,
                   float& offset, PressTracker::SubBlock* history, Levels* out) {
    FrontBody(correlate, samples, blocks, first, offset, history, out);
}

#if defined(TONEWATCH_KERNELS_X86)
[[gnu::target("avx2,fma")]] void FrontAvx2(TrackerCorrelate correlate, const int16_t* samples, std::size_t blocks,
                                            int64_t first, float& offset, PressTracker::SubBlock* history, Levels* out) {
    FrontBody(correlate, samples, blocks, first, offset, history, out);
}

[[gnu::target("avx512f")]] void FrontAvx512(TrackerCorrelate correlate, const int16_t* samples, std::size_t blocks,
                                            int64_t first, float& offset, PressTracker::SubBlock* history, Levels* out) {
    FrontBody(correlate, samples, blocks, first, offset, history, out);
}
#endif

// The front for the instruction set of the chosen kernel.
Front ChooseFront() {
#if defined(TONEWATCH_KERNELS_X86)
    const std::string_view kernel = TrackerKernelChosen().name;
    if (kernel.starts_with("avx512")) return FrontAvx512;
    if (kernel == "avx2") return FrontAvx2;
#endif
    return FrontPortable;
}

const TrackerCorrelate kCorrelate = TrackerKernelChosen().correlate;
const Front kFront = ChooseFront();

// The strongest of a group's four channels, from `first`, and its level.
struct Strongest {
    int channel;
    float level;
};

Strongest StrongestOf(const Levels& w, int first) {
    const int a = first + (w.level[first + 1] > w.level[first]);
    const int b = first + 2 + (w.level[first + 3] > w.level[first + 2]);
    return w.level[b] > w.level[a] ? Strongest{b, w.level[b]} : Strongest{a, w.level[a]};
}

float MaxOf(const Levels& w, int first) {
    return std::max(std::max(w.level[first], w.level[first + 1]), std::max(w.level[first + 2], w.level[first + 3]));
}

int KeyOf(const Strongest& low, const Strongest& high) { return low.channel * 4 + high.channel - 4; }

// The power per sample of white noise that would put into the six key
// frequencies besides the strongest of each group what they hold: over N
// samples, a frequency takes 4/N of it.
float EvenRest(const Levels& w, float max_low, float max_high) {
    float low = -max_low, high = -max_high;
    for (int k = 0; k < 4; ++k) {
        low += w.level[k];
        high += w.level[4 + k];
    }
    return (low * kLowSamples + high * kHighSamples) / (4.0f * (kToneChannels - 2));
}

}

namespace tracker {

void AnalyseSubBlocks(const int16_t* samples, std::size_t blocks, int64_t first, float& offset,
                      PressTracker::SubBlock* history, TrackerLevels* out) {
    kFront(kCorrelate, samples, blocks, first, offset, history, out);
}

Verdict LooksLikeKey(const Levels& w) {
    constexpr Verdict kNone{-1, 0};
    // Most windows fail on the levels alone, before anything is sorted.
    const float max_low = MaxOf(w, 0), max_high = MaxOf(w, 4);
    const float tones = max_low + max_high;
    if (max_low < kMinLevel || max_high < kMinLevel || tones < 2 * kNoisyShare * w.power) return kNone;
    if (tones < 2 * kShare * w.power && EvenRest(w, max_low, max_high) < kWhite * (w.power - tones / 2)) return kNone;
    const bool clean = max_low + max_high >= 2 * kCleanShare * w.power;
    if (max_high < max_low * (clean ? kMinCleanTwist : kMinTwist) || max_high > max_low * kMaxTwist) return kNone;
    const Strongest low = StrongestOf(w, 0), high = StrongestOf(w, 4);
    // Over a background, another key frequency may hold what the
    // background can put into one frequency; the checks beside the tones
    // follow.
    const float background =
        max_low + max_high >= 2 * kOverPurityShare * w.power ? kBackgroundLevel * (low.level + high.level) : 0.0f;
    for (int k = 0; k < kToneChannels; ++k) {
        if (k != low.channel && k != high.channel && w.level[k] > std::max((k < 4 ? low.level : high.level) * kPurity, background)) return kNone;
    }
    return {KeyOf(low, high), low.level + high.level};
}

bool OnlyInNoise(const Levels& w) { return MaxOf(w, 0) + MaxOf(w, 4) < 2 * kShare * w.power; }

// Whether the window still holds the tones of `key`, and their power.
Verdict StillHeld(const Levels& w, int key) {
    constexpr Verdict kNone{-1, 0};
    const float low = w.level[key / 4], high = w.level[4 + key % 4];
    if (low < MaxOf(w, 0) || high < MaxOf(w, 4)) return kNone;
    if (low < kMinHeldLevel || high < kMinHeldLevel) return kNone;
    const bool clean = low + high >= 2 * kCleanShare * w.power;
    if (high < low * (clean ? kMinHeldCleanTwist : kMinHeldTwist) || high > low * kMaxHeldTwist) return kNone;
    if (low + high < 2 * kHeldShare * w.power) return kNone;
    return {key, low + high};
}

}

}
