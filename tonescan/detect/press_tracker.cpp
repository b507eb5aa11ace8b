#include "press_tracker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "press_tracker_common.h"
#include "press_tracker_probes.h"
#include "press_tracker_windows.h"

namespace tonescan {

using namespace tracker;

namespace {

// A key over speech or music, which passes the checks beside the tones only
// allowing for a background (kBackground): the tones must then fade by no
// more than kMostFade from the press's start to its end, as notes of music
// at key frequencies do, and last kOverShortest samples at least: music
// holds short pairs of notes at key frequencies now and then.
constexpr int64_t kOverShortest = 60 * kTrackerRate / 1000;
const double kMostFade = Db(4);
// How far a tone may move, as a share of its frequency, during a press. A
// key's tones hold still; slow sweeps pass through a key for long enough to
// start a press, and move by more than this across it.
constexpr double kMaxDrift = 0.015;
// The end's reference: the last window with this share of the strongest tone
// power of the press, which fades by the factor per window so that a press
// whose level sinks keeps finding references.
constexpr float kReferencePower = 0.9f;
constexpr float kReferenceFade = 0.97f;
// Presses of one key with less than this between them, in samples, are one.
constexpr int64_t kMostGap = 30 * kTrackerRate / 1000;
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

}

// The place of a sub-block in the history. Windows at the stream's start
// reach before it, onto places still zero.
std::size_t PressTracker::Slot(int64_t block) {
    return static_cast<std::size_t>(static_cast<uint64_t>(block) % kHistory);
}

void PressTracker::Feed(std::span<const int16_t> samples) {
    samples_ += static_cast<int64_t>(samples.size());
    if (pending_count_ > 0) {
        const auto take = std::min<std::size_t>(samples.size(), static_cast<std::size_t>(kB - pending_count_));
        std::copy_n(samples.begin(), take, pending_.begin() + pending_count_);
        pending_count_ += static_cast<int>(take);
        samples = samples.subspan(take);
        if (pending_count_ < kB) return;
        Analyse(pending_.data(), 1);
        pending_count_ = 0;
    }
    while (samples.size() >= kB) {
        const std::size_t blocks = std::min(samples.size() / kB, kFrontBatch);
        Analyse(samples.data(), blocks);
        samples = samples.subspan(blocks * kB);
    }
    std::copy(samples.begin(), samples.end(), pending_.begin());
    pending_count_ = static_cast<int>(samples.size());
}

void PressTracker::Finish() {
    const int64_t fed = samples_;
    stream_end_ = fed;
    const std::array<int16_t, kB> silence{};
    if (pending_count_ > 0) Feed(std::span(silence).first(static_cast<std::size_t>(kB - pending_count_)));
    // Enough for a press beginning in the last sub-block to be confirmed,
    // with the most windows between, and released.
    for (int i = 0; i < kLowBlocks + kWindowsToStart + kMostGaps + kWindowsToEnd; ++i) Feed(silence);
    Flush();
    samples_ = fed;
}

void PressTracker::Analyse(const int16_t* samples, std::size_t blocks) {
    std::array<TrackerLevels, kBatch> levels;
    AnalyseSubBlocks(samples, blocks, analysed_, offset_, history_.data(), levels.data());
    // The batch's samples go to their places in the ring in one piece, or
    // two where it wraps.
    const std::size_t slot = Slot(analysed_);
    const std::size_t before_wrap = std::min(blocks, static_cast<std::size_t>(kHistory) - slot);
    std::memcpy(recent_.data() + slot * kB, samples, before_wrap * kB * sizeof *samples);
    std::memcpy(recent_.data(), samples + before_wrap * kB, (blocks - before_wrap) * kB * sizeof *samples);
    analysed_ += static_cast<int64_t>(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        ++blocks_;
        Decide(levels[b]);
    }
}

void PressTracker::Decide(const TrackerLevels& levels) {
    const int64_t last = blocks_ - 1;
    // A press of the same key could still start within the gap after the
    // last one only while it is held or a candidate, or its windows still
    // reach into the gap.
    if (ready_ && held_ != ready_key_ && candidate_ != ready_key_ && last * kB > ready_->end + kMostGap + kLowSamples) {
        Flush();
    }
    if (held_ >= 0) {
        const Verdict still = StillHeld(levels, held_);
        if (still.key >= 0) {
            misses_ = 0;
            end_window_.power *= kReferenceFade;
            if (still.power >= kReferencePower * end_window_.power) {
                end_window_ = {last, std::max(still.power, end_window_.power)};
            }
            return;
        }
        if (++misses_ < kWindowsToEnd) return;
        Release();
    }
    Verdict verdict = LooksLikeKey(levels);
    if (verdict.key < 0) {
        // A window that still holds the key as a press going on must counts
        // towards starting one, and a few that do not may come between:
        // GSM 06.10 garbles a key's first frame, and codes frames with the
        // tones turned in phase, which blurs the windows across them, so
        // its short keys may leave only two clean windows.
        if (candidate_ < 0) return;
        verdict = StillHeld(levels, candidate_);
        if (verdict.key < 0) {
            if (++candidate_gaps_ > kMostGaps) candidate_ = -1;
            return;
        }
    }
    if (verdict.key != candidate_) {
        candidate_ = verdict.key;
        candidate_count_ = 0;
        candidate_gaps_ = 0;
    }
    candidate_windows_[static_cast<std::size_t>(candidate_count_++)] = {last, verdict.power};
    if (candidate_count_ == kWindowsToStart) Confirm(verdict.key);
}

void PressTracker::Confirm(int key) {
    if (key != ready_key_) Flush();
    float strongest = 0;
    for (const Window& w : candidate_windows_) strongest = std::max(strongest, w.power);
    const auto near = [&](const Window& w) { return w.power >= kReferencePower * strongest; };
    // The start is found from the earliest window near the strongest, inside
    // the tones and near their start.
    const Window& first = *std::find_if(candidate_windows_.begin(), candidate_windows_.end(), near);
    const Tones tones = Fit(key, first.last);
    start_ = std::max(FindStart(tones, first.last), earliest_);
    start_tones_ = tones;
    end_window_ = {std::find_if(candidate_windows_.rbegin(), candidate_windows_.rend(), near)->last, strongest};
    // The costly checks: the tones' frequencies in the strongest window or
    // the last; the rest on the windows from the strongest down until one
    // passes, since coded tones pass in some windows only. A candidate that
    // fails is followed to its end all the same, so that it is not checked
    // again and again.
    std::array<Window, kWindowsToStart> by_power = candidate_windows_;
    std::sort(by_power.begin(), by_power.end(), [](const Window& a, const Window& b) { return a.power > b.power; });
    const int64_t strongest_last = by_power[0].last;
    const TrackerProbes strongest_probes = Probe(key, strongest_last);
    const auto on_key = [&](int64_t last, const TrackerProbes& probes) {
        return OnKey(last == first.last ? tones : Fit(key, last), probes);
    };
    // The strongest window of a coded key may still hold the garbled first
    // frame; the last one reaches furthest from it.
    const int64_t latest = candidate_windows_.back().last;
    // A key over speech or music passes the checks beside the tones only
    // allowing for a background, and must hold its level to be reported.
    const bool on = on_key(strongest_last, strongest_probes) ||
                    (latest != strongest_last && on_key(latest, Probe(key, latest)));
    report_ = on && (NothingElse(key, strongest_probes, false) ||
                     std::any_of(by_power.begin() + 1, by_power.end(),
                                 [&](const Window& w) { return NothingElse(key, Probe(key, w.last), false); }));
    // Allowing for a background, in two windows at least: sweeps and
    // coded music pass in one now and then.
    int over = 0;
    for (std::size_t i = 0; !report_ && on && i < by_power.size() && over < 2; ++i) {
        over += NothingElse(key, i == 0 ? strongest_probes : Probe(key, by_power[i].last), true);
    }
    over_background_ = over >= 2;
    held_ = key;
    misses_ = 0;
    candidate_ = -1;
}

void PressTracker::Release() {
    const Tones tones = Fit(held_, end_window_.last);
    const int64_t end = std::max(start_ + 1, std::min(FindEnd(tones, end_window_.last), stream_end_));
    // A key's frequencies hold still, give or take how uncertain both
    // measurements are (a codec makes them so); tones that pass through them
    // on their way elsewhere are sweeps.
    bool steady = true;
    for (int t = 0; t < 2; ++t) {
        const double turn = std::arg(MulConj(tones.forward[t], start_tones_.forward[t]));
        const double drift_hz = turn * kTrackerRate / (2 * std::numbers::pi * kB);
        const double deviation_hz = std::hypot(Uncertainty(tones, t), Uncertainty(start_tones_, t));
        steady = steady &&
                 std::abs(drift_hz) <= kMaxDrift * kToneFrequencies[tones.channel[t]] + kOffsetDeviations * deviation_hz;
    }
    // Over a background, notes of music at key frequencies may pass the
    // checks beside the tones; they fade, a key's tones hold their level
    // (coded ones may grow after a weak first frame).
    bool level = end - start_ >= kOverShortest;
    for (int t = 0; t < 2; ++t) {
        const double change = Norm(tones.value[t]) / std::max(Norm(start_tones_.value[t]), 1e-30);
        level = level && change >= 1 / kMostFade;
    }
    if ((report_ || (over_background_ && level)) && steady) {
        // Measured on the last window wholly inside the press where there is
        // one. A sine of amplitude A correlates to 16 A over a sub-block,
        // whether on its key frequency or off it by a few percent.
        const int64_t inner = end / kB - 1;
        const Tones levels = inner - kLowBlocks + 1 >= (start_ + kB - 1) / kB ? Fit(held_, inner) : tones;
        const auto dbfs = [&](int t) {
            return static_cast<float>(10 * std::log10(std::max(Norm(levels.value[t]) / 256, 1e-3) / (32768.0 * 32768.0)));
        };
        // A gap of a lost frame or two inside a tone, or an echo of its end
        // after it, leaves one press; a new press of the key after a pause
        // shorter than kMostGap does not happen.
        if (ready_ && ready_key_ == held_ && start_ - ready_->end < kMostGap) {
            ready_->end = end;
        } else {
            Flush();
            ready_ = TrackedPress{ToneKeyTable[held_ / 4][held_ % 4], start_, end, dbfs(0), dbfs(1)};
            ready_key_ = held_;
        }
    }
    earliest_ = end;
    held_ = -1;
}

void PressTracker::Flush() {
    if (ready_) presses_.push_back(*ready_);
    ready_.reset();
    ready_key_ = -1;
}

// Within a press, each tone's sub-block correlations keep one amplitude and
// turn by a fixed step from one sub-block to the next (none when the tone is
// on its key frequency); both are fitted to the window ending at `last`.
PressTracker::Tones PressTracker::Fit(int key, int64_t last) const {
    Tones tones{{key / 4, 4 + key % 4}, {}, {}, {}, 0};
    const int64_t first = last - kLowBlocks + 1;
    for (int t = 0; t < 2; ++t) {
        std::array<Complex, kLowBlocks> s;
        for (int m = 0; m < kLowBlocks; ++m) {
            const SubBlock& b = history_[Slot(first + m)];
            s[m] = {b.v[tones.channel[t]], b.v[kToneChannels + tones.channel[t]]};
        }
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
