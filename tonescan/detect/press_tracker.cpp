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
// A press that fails the checks beside the tones in its first windows, or
// passes them only allowing for a background, is checked again in each of
// its next kMostRechecks windows: speech or music under a key may crowd some
// windows and leave others clear, and a codec may garble the first. Whether its
// tones are on their key frequencies is checked again in the first
// kMostOnRechecks only, where a codec's garbled first frame may have ended;
// notes and sweeps drift onto them later.
constexpr int kMostRechecks = 16;
constexpr int kMostOnRechecks = 2;
// The tones are measured again this many windows into the press, past a
// codec's garbled first frame; from there to the end of a press at least
// as many windows later, they move by no more than kMaxSettledDrift.
constexpr int kSettle = 4;
constexpr double kMaxSettledDrift = 0.0075;
// Windows of a press's start before its first windows that hold its tones
// as no key does: one alone, at its level in the press, the other far under
// (a note held on before another joins it), or one far louder than in the
// press over the other (a loud note fading as another joins it). A key's
// tones start together and at the balance they keep.
constexpr int64_t kMostUnlike = 8;

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
    // The batch's samples go to their places in the ring a sub-block at a
    // time: copies of a fixed size become a few vector moves, where one of
    // a size known only at run time starts a string copy.
    for (std::size_t b = 0; b < blocks; ++b) {
        std::memcpy(recent_.data() + Slot(analysed_ + static_cast<int64_t>(b)) * kB, samples + b * kB,
                    kB * sizeof *samples);
    }
    analysed_ += static_cast<int64_t>(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        ++blocks_;
        Decide(levels[b]);
    }
}

void PressTracker::Decide(const TrackerLevels& levels) {
    const int key = DecideWindow(levels);
    if (follow_runs_) Note(key, blocks_ - 1);
}

// A run counts from two windows: 20 ms of tones between their middles.
constexpr int64_t kRunWindows = 2;

ToneRun PressTracker::Run(int key, int64_t first, int64_t last) {
    // Windows with the tones in most of their middle: a sub-block in from
    // each end of the middles is where the tones surely stand.
    return {ToneKeyTable[key / 4][key % 4], std::max<int64_t>(0, (first - kHighBlocks + 1) * kB), (last - 1) * kB};
}

ToneRun PressTracker::OpenRun() const {
    if (run_key_ < 0 || !run_sure_ || run_last_ - run_first_ + 1 < kRunWindows) return {0, 0, 0};
    return Run(run_key_, run_first_, run_last_);
}

// Whether a window of a run carries the key to other detectors as well: the
// tones stand out from everything around them but a background, as a key's
// do under speech or noise. Overtones are allowed: a pair with its second
// harmonics is still heard as the key, whereas music's notes at key
// frequencies come with other notes and partials between and above the
// groups, and speech with its voice below them.
// Allowing a background needs the window's power.
bool PressTracker::CarriesKey(int key, int64_t last) const {
    return NothingElse(key, Probe(key, last, true), true, true);
}

void PressTracker::Note(int key, int64_t last) {
    if (key >= 0 && key == run_key_) {
        run_last_ = last;
        run_sure_ = run_sure_ || CarriesKey(key, last);
        return;
    }
    if (run_key_ >= 0 && run_sure_ && run_last_ - run_first_ + 1 >= kRunWindows) {
        runs_.push_back(Run(run_key_, run_first_, run_last_));
    }
    run_key_ = key;
    run_first_ = last;
    run_last_ = last;
    run_sure_ = key >= 0 && CarriesKey(key, last);
}

// Decides on the window ending at the last sub-block; returns the key whose
// tones it holds, or -1.
int PressTracker::DecideWindow(const TrackerLevels& levels) {
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
            if (++held_windows_ == kSettle && on_) {
                settled_tones_ = TonesIn(held_, last);
                settled_last_ = last;
            }
            if (!report_ && rechecks_ > 0) Recheck(last);
            return held_;
        }
        if (++misses_ < kWindowsToEnd) return -1;
        Release();
    }
    Verdict verdict = LooksLikeKey(levels);
    const bool noisy = verdict.key >= 0 && OnlyInNoise(levels);
    if (verdict.key < 0) {
        // A window that still holds the key as a press going on must counts
        // towards starting one, and a few that do not may come between:
        // GSM 06.10 garbles a key's first frame, and codes frames with the
        // tones turned in phase, which blurs the windows across them, so
        // its short keys may leave only two clean windows.
        if (candidate_ < 0) return -1;
        verdict = StillHeld(levels, candidate_);
        // A candidate that has passed only allowing for white noise needs
        // windows that pass so: a note's or a sweep's tones may hold on
        // through windows where another note crowds them.
        if (verdict.key < 0 || candidate_noisy_) {
            if (++candidate_gaps_ > kMostGaps) candidate_ = -1;
            return -1;
        }
    }
    if (verdict.key != candidate_) {
        candidate_ = verdict.key;
        candidate_count_ = 0;
        candidate_gaps_ = 0;
        candidate_noisy_ = noisy;
    } else {
        candidate_noisy_ = candidate_noisy_ && noisy;
    }
    candidate_windows_[static_cast<std::size_t>(candidate_count_++)] = {last, verdict.power};
    if (candidate_count_ == kWindowsToStart) Confirm(verdict.key);
    return verdict.key;
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
    // coded music pass in one now and then. This takes the windows' power,
    // measured for these alone.
    int over = 0;
    for (std::size_t i = 0; !report_ && on && i < by_power.size() && over < 2; ++i) {
        over += NothingElse(key, Probe(key, by_power[i].last, true), true);
    }
    over_background_ = over >= 2;
    const bool unlike = UnlikeAKey(tones, start_ / kB, first.last) >= kMostUnlike;
    if (unlike) {
        report_ = false;
        over_background_ = false;
    }
    on_ = on;
    over_ = over;
    rechecks_ = unlike ? 0 : kMostRechecks;
    held_windows_ = 0;
    settled_last_ = -1;
    held_ = key;
    misses_ = 0;
    candidate_ = -1;
}

// Checks a window of a press that has not passed the checks yet.
void PressTracker::Recheck(int64_t last) {
    --rechecks_;
    const TrackerProbes probes = Probe(held_, last, true);
    if (!on_) {
        if (held_windows_ > kMostOnRechecks) return;
        on_ = OnKey(Fit(held_, last), probes);
        if (!on_) return;
    }
    if (NothingElse(held_, probes, false)) {
        report_ = true;
    } else if (NothingElse(held_, probes, true) && ++over_ >= 2) {
        over_background_ = true;
    }
}

void PressTracker::Release() {
    const Tones tones = Fit(held_, end_window_.last);
    const int64_t end = std::max(start_ + 1, std::min(FindEnd(tones, end_window_.last), stream_end_));
    // A key's frequencies hold still, give or take how uncertain both
    // measurements are (a codec makes them so); tones that pass through them
    // on their way elsewhere are sweeps.
    const auto holds = [&](const Tones& from, double share) {
        for (int t = 0; t < 2; ++t) {
            const double turn = std::arg(MulConj(tones.forward[t], from.forward[t]));
            const double drift_hz = turn * kTrackerRate / (2 * std::numbers::pi * kB);
            const double deviation_hz = std::hypot(Uncertainty(tones, t), Uncertainty(from, t));
            if (std::abs(drift_hz) > share * kToneFrequencies[tones.channel[t]] + kOffsetDeviations * deviation_hz) {
                return false;
            }
        }
        return true;
    };
    const bool steady = holds(start_tones_, kMaxDrift) ||
                        (settled_last_ >= 0 && end_window_.last >= settled_last_ + kSettle &&
                         holds(FitTo(held_, settled_tones_), kMaxSettledDrift));
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
        // Most often that is the window the end was found from, fitted
        // already.
        const bool inside = inner - kLowBlocks + 1 >= (start_ + kB - 1) / kB;
        const Tones levels = inside && inner != end_window_.last ? Fit(held_, inner) : tones;
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

}
