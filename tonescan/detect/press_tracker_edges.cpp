// The press tracker's fit of a press's tones to a window, and the placing
// of the press's start and end from it.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "press_tracker.h"
#include "press_tracker_common.h"

namespace tonescan {

using namespace tracker;

namespace {

// A sub-block whose tones have this much of the press's magnitude, whatever
// their phase, is inside the press; and so is one short of it between the
// press and a sub-block that holds kBridged, and so are two between the
// press and one that holds kBridgedTwo. So is one where either tone alone
// has kOneTone of its own magnitude, and one with kToneShare of its power in
// the tones as long as they keep kToneFloor of their magnitude.
constexpr double kInside = 0.4;
constexpr double kBridged = 0.5;
constexpr double kBridgedTwo = 0.6;
constexpr int64_t kMostBridged = 2;
constexpr double kOneTone = 0.6;
constexpr double kToneShare = 0.6;
constexpr double kToneFloor = 0.1;
// A window where one tone has from kLoneLow to kLoneHigh of its power in the
// press and the other less than kLoneOther of its own holds that tone alone.
const double kLoneLow = Db(-2);
const double kLoneHigh = Db(2);
const double kLoneOther = Db(-14);
// One where a tone has kLoud of its power in the press or more, kLoudOver
// the other's share of its own, which keeps kLoudFloor at least, holds the
// tones far from the press's balance; a codec's garbled frame weakens a tone
// rather than strengthening the other.
const double kLoud = Db(6);
const double kLoudOver = Db(10);
const double kLoudFloor = Db(-12);

}

// Within a press, each tone's sub-block correlations keep one amplitude and
// turn by a fixed step from one sub-block to the next (none when the tone is
// on its key frequency); both are fitted to the window ending at `last`.
PressTracker::Tones PressTracker::Fit(int key, int64_t last) const { return FitTo(key, TonesIn(key, last)); }

// Each tone's correlations in the sub-blocks of the window ending at `last`.
PressTracker::WindowTones PressTracker::TonesIn(int key, int64_t last) const {
    WindowTones window;
    const std::array<int, 2> channel = {key / 4, 4 + key % 4};
    const int64_t first = last - kLowBlocks + 1;
    for (int m = 0; m < kLowBlocks; ++m) {
        const SubBlock& b = history_[Slot(first + m)];
        for (int t = 0; t < 2; ++t) window[t][m] = {b.v[channel[t]], b.v[kToneChannels + channel[t]]};
    }
    return window;
}

PressTracker::Tones PressTracker::FitTo(int key, const WindowTones& window) {
    Tones tones{{key / 4, 4 + key % 4}, {}, {}, {}, 0};
    for (int t = 0; t < 2; ++t) {
        const std::array<Complex, kLowBlocks>& s = window[t];
        Complex step = 0;
        for (int m = 0; m + 1 < kLowBlocks; ++m) step += MulConj(s[m + 1], s[m]);
        const double size = std::sqrt(Norm(step));
        const Complex forward = size > 0 ? step / size : Complex(1);
        tones.forward[t] = forward;
        // Each sub-block turned forward to `last` and averaged.
        Complex sum = 0;
        for (int m = 0; m < kLowBlocks; ++m) sum = Mul(sum, forward) + s[m];
        tones.value[t] = sum / double(kLowBlocks);
        Complex expected = tones.value[t];
        double misfit = 0;
        for (int m = kLowBlocks - 1; m >= 0; --m) {
            misfit += Norm(s[m] - expected);
            expected = MulConj(expected, forward);
        }
        tones.misfit[t] = misfit / (kLowBlocks * std::max(Norm(tones.value[t]), 1e-30));
        tones.full += Norm(tones.value[t]);
    }
    return tones;
}

// How uncertain tone t's frequency is in Hz, one standard deviation, in
// the window that `tones` were fitted to. However the tone strays from a
// steady sine (noise, a codec, a fading level), its sub-blocks stray from
// the fitted ones; taken as a deviation of their phases, it leaves the
// frequency as uncertain as the slope of a line fitted through them.
double PressTracker::Uncertainty(const Tones& tones, int t) {
    const double phase_deviation = std::sqrt(tones.misfit[static_cast<std::size_t>(t)] / 2);
    const double slope_deviation = phase_deviation * std::sqrt(12.0 / (kLowBlocks * (kLowBlocks * kLowBlocks - 1)));
    return slope_deviation * kTrackerRate / (2 * std::numbers::pi * kB);
}

// How much of the tones sub-block `block` holds, given what they would be
// there (`expected`): 1 throughout, 0 for none. Noise adds as much as it
// takes, having no phase of its own.
double PressTracker::Presence(const Tones& tones, int64_t block, const std::array<Complex, 2>& expected) const {
    const SubBlock& s = history_[Slot(block)];
    double along = 0;
    for (int t = 0; t < 2; ++t) {
        along += MulConj(Complex(s.v[tones.channel[t]], s.v[kToneChannels + tones.channel[t]]), expected[t]).real();
    }
    return tones.full > 0 ? along / tones.full : 0.0;
}

// Whether sub-block `block` is inside the press, looking at up to `beyond`
// (at most kMostBridged) sub-blocks past it, `step` apart, away from the
// press: its tones at kInside of their magnitude at least, whatever their
// phase, since a codec may turn a tone's phase about for a frame; or one
// tone at kOneTone of its own, since a codec may also code one tone much
// weaker for a frame or drop it for a few milliseconds; or it short of both
// and one or two sub-blocks away from one holding kBridged or kBridgedTwo,
// since a codec may garble both for some milliseconds (more than kInside, so
// that noise beyond an edge is not taken for the tones). Or, however weak
// against the press, its power mostly in the tones: a codec may code a
// key's second frame 10 dB under its first.
bool PressTracker::Inside(const Tones& tones, int64_t block, int64_t step, int beyond) const {
    const Holding here = Holds(tones, block);
    if (here.both >= kInside || here.one >= kOneTone) return true;
    if (here.share >= kToneShare && here.both >= kToneFloor) return true;
    if (beyond >= 1 && Holds(tones, block + step).both >= kBridged) return true;
    return beyond >= 2 && Holds(tones, block + 2 * step).both >= kBridgedTwo;
}

// How much sub-block `block` holds of the tones, whatever their phase: of
// their magnitude together, of the tone that keeps the most of its own, and
// of its own power.
PressTracker::Holding PressTracker::Holds(const Tones& tones, int64_t block) const {
    const SubBlock& s = history_[Slot(block)];
    Holding holding{0, 0, 0};
    if (tones.full <= 0) return holding;
    double power = 0;
    for (int t = 0; t < 2; ++t) {
        const double x = Norm(Complex(s.v[tones.channel[t]], s.v[kToneChannels + tones.channel[t]]));
        const double v = Norm(tones.value[t]);
        holding.both += std::sqrt(x * v) / tones.full;
        if (v > 0) holding.one = std::max(holding.one, std::sqrt(x / v));
        power += x;
    }
    // A sine of amplitude A correlates to 16 A over a sub-block, and has a
    // power of A^2 / 2 against the sub-block's energy / 32.
    holding.share = s.energy > 0 ? power / (16.0 * s.energy) : 0.0;
    return holding;
}

// How many of the windows wholly within sub-blocks `first` to before the
// window ending at `last` hold the tones unlike a key: one alone, at about
// its level in that window, the other far under its own; or one far over its
// level there and over the other.
int64_t PressTracker::UnlikeAKey(const Tones& tones, int64_t first, int64_t last) const {
    const int64_t kept = blocks_ - 1 + static_cast<int64_t>(kBatch) - kHistory;
    // Each tone's level over the window ending at sub-block j: the low one
    // over the whole window, the high one over its middle, as windows are
    // decided on.
    const auto level = [&](int t, int64_t j) {
        Complex sum = 0;
        const int from = t == 0 ? 0 : 1, to = t == 0 ? kLowBlocks : 1 + kHighBlocks;
        for (int m = from; m < to; ++m) {
            const SubBlock& s = history_[Slot(j - m)];
            sum += Complex(s.v[tones.channel[t]], s.v[kToneChannels + tones.channel[t]]);
        }
        return Norm(sum) / double((to - from) * (to - from));
    };
    const std::array<double, 2> press = {level(0, last), level(1, last)};
    int64_t count = 0;
    for (int64_t j = std::max<int64_t>({first, kept, 0}) + kLowBlocks - 1; j < last - kLowBlocks + 1; ++j) {
        std::array<double, 2> own{};
        for (int t = 0; t < 2; ++t) own[t] = press[t] > 0 ? level(t, j) / press[t] : 0.0;
        const auto near = [](double x) { return x >= kLoneLow && x <= kLoneHigh; };
        const auto louder = [](double x, double other) {
            return x >= kLoud && other * kLoudOver < x && other >= kLoudFloor;
        };
        count += (near(own[0]) && own[1] < kLoneOther) || (near(own[1]) && own[0] < kLoneOther) ||
                 louder(own[0], own[1]) || louder(own[1], own[0]);
    }
    return count;
}

// Walking out from the window that the tones were fitted on to the first
// sub-block not inside, the edge lies in it or in the one before, which
// together hold the tones for their summed presence.
int64_t PressTracker::FindStart(const Tones& tones, int64_t last) const {
    // A batch analyses up to kBatch sub-blocks before deciding on its first,
    // overwriting as many of the oldest: what is kept however the samples
    // were cut into pieces reaches back this far from the one decided on.
    const int64_t kept = blocks_ - 1 + static_cast<int64_t>(kBatch) - kHistory;
    const int64_t oldest = std::max<int64_t>({kept, earliest_ / kB, 0});
    const int64_t from = last - kLowBlocks + 1;
    std::array<Complex, 2> expected = tones.value, back;
    for (int t = 0; t < 2; ++t) {
        back[t] = std::conj(tones.forward[t]);
        for (int64_t j = last; j > from; --j) expected[t] = Mul(expected[t], back[t]);
    }
    int64_t j = from;
    double present = Presence(tones, j, expected), inner = 1.0;
    // The sub-blocks past `at` that the walk may look at.
    const auto beyond = [&](int64_t at) {
        return static_cast<int>(std::clamp<int64_t>(at - 1 - oldest, 0, kMostBridged));
    };
    while (j > oldest && Inside(tones, j, -1, beyond(j))) {
        inner = present;
        --j;
        for (int t = 0; t < 2; ++t) expected[t] = Mul(expected[t], back[t]);
        present = Presence(tones, j, expected);
    }
    const double inside = std::clamp(inner, 0.0, 1.0) + std::clamp(present, 0.0, 1.0);
    return kB * (j + 2) - std::lround(kB * inside);
}

int64_t PressTracker::FindEnd(const Tones& tones, int64_t last) const {
    std::array<Complex, 2> expected = tones.value;
    const std::array<Complex, 2>& forward = tones.forward;
    int64_t j = last;
    double present = Presence(tones, j, expected), inner = 1.0;
    const auto beyond = [&](int64_t at) {
        return static_cast<int>(std::clamp<int64_t>(blocks_ - 2 - at, 0, kMostBridged));
    };
    while (j < blocks_ - 1 && Inside(tones, j, 1, beyond(j))) {
        inner = present;
        ++j;
        for (int t = 0; t < 2; ++t) expected[t] = Mul(expected[t], forward[t]);
        present = Presence(tones, j, expected);
    }
    const double inside = std::clamp(inner, 0.0, 1.0) + std::clamp(present, 0.0, 1.0);
    return kB * (j - 1) + std::lround(kB * inside);
}

}
