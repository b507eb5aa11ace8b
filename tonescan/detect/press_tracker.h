// Finds DTMF key presses in 16-bit mono audio at 8000 samples/s, with the
// start and end of each tone: the detector for recordings. It hears short,
// quiet, noisy, coded and slightly mistuned keys that the block analysis
// misses, and keeps quiet for speech, music and tones off the keypad.
//
// The samples are cut into sub-blocks of 4 ms, each correlated with the
// eight key frequencies, less the samples' offset (their mean, followed
// over some 30 ms). With every sub-block a window moves on by 4 ms: the
// low group is measured over its last 24 ms, the high group over the 16 ms
// in the middle, so that both resolve about 5% of their frequencies.
//
// A window may hold a key when one tone of each group stands out in it:
// each at least -45 dBFS, the high one from 14 dB under the low one to 12 dB
// over it (20 dB under where the tones hold 85% of the power), together 55%
// of the window's power (42% where the other key frequencies hold what white
// noise holding the rest would put there), and the other key frequencies of
// each group 8 dB under their group's tone (or, where the tones hold 72% of
// the power, under what a background 5 dB under them can put into one
// frequency). A window with such a key, followed by three that hold it too
// or hold it as a press going on must (up to four windows that do neither
// may come between; all must hold the key if it has passed only as in white
// noise), make a press, which lasts until three windows
// in a row no longer hold its tones; while it lasts they need only 40% of
// the power and -48 dBFS, and the high tone may be 16 dB under the low one
// (26 dB where they hold 85% of the power).
//
// A press is reported when it ends if its first four windows, or one of the
// next sixteen (two for the first check: a codec may garble a key's first
// frame), passed the checks that look beside the key frequencies, and
// neither tone moved by more than 1.5% meanwhile, as sweeps do (give or take
// three standard deviations of what the tones' misfit leaves uncertain, as
// in the first check), or by more than 0.75% from four windows into the
// press on. It is not reported if eight windows or more between its start
// and its first windows hold its tones as no key does, where a key's tones
// start together and at the balance they keep: one alone, at its level in
// the press, the other 14 dB under its own (a note held on before another
// joins it), or one 6 dB or more over its level in the press and 10 dB over
// the other, which is no more than 12 dB under its own (a loud note fading
// as another joins it). The checks:
//   - in the strongest window, or failing that in the last of the four, each
//     tone within 1.5% of its key frequency as far as a Hann-windowed
//     measurement in the window's noise can tell;
//   - in one of the four windows at least (coded tones pass in some only),
//     each tone nearer its key frequency than the frequencies halfway to the
//     neighbouring keys, no strong second harmonic, and nothing within 10 dB
//     of the weaker tone at the difference of the two frequencies, at
//     60-660 Hz, between the groups or above them: voices, instruments and
//     third tones show there. Where the tones hold 68% of the power with
//     at most 9 dB of twist, anything there up to what a background 5 dB
//     under them can put into one frequency is taken for speech or music
//     under the key, in two of the four windows at least; such a press is
//     reported only if it lasts 60 ms and neither tone fades by more than
//     4 dB from its start to its end, as notes do.
//
// Presses of one key less than 30 ms apart are one: a lost frame leaves a
// gap inside a tone, and an echo may outlast it.
//
// Its start and end are found by walking out from the press to the first
// sub-block that holds less than 40% of the tones' magnitude and less than
// 60% of either tone's, and has less than 60% of its power in the tones or
// less than 10% of their magnitude (one such sub-block is bridged where the
// next holds half, two where the one after them holds 60%: codecs drop a
// tone for a few milliseconds, or code it much weaker for a frame), and
// within the sub-blocks at the edge from how much of the tones, in phase,
// each holds.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dtmf_keypad.h"
#include "rates.h"

namespace tonescan {

using tonewatch::kToneChannels;
using tonewatch::kToneFrequencies;
using tonewatch::ToneKeyTable;

struct TrackerLevels;
struct TrackerProbes;

// Windows in a row that hold one key's tone pair, whether or not they make a
// press, one of which at least has nothing beside the tones but a background
// and their overtones: what a redactor masks besides the presses. Samples of
// the stream.
struct ToneRun {
    char key;
    int64_t start;  // 4 ms into the first window's middle 16 ms
    int64_t end;    // 4 ms before the end of the last window's middle 16 ms
};

struct TrackedPress {
    char key;
    int64_t start;  // first sample of the tone
    int64_t end;    // one past its last sample
    // Each tone's peak level in dBFS (0 is a full-scale sine), in the last
    // window at about the press's full strength.
    float low_dbfs;
    float high_dbfs;
};

class PressTracker {
public:
    static constexpr int kSubBlock = 32;
    static constexpr int kLowBlocks = 6;
    static constexpr int kHighBlocks = 4;
    static constexpr int kWindowsToStart = 4;
    static constexpr int kWindowsToEnd = 3;
    // Windows without the key that may come between those that start a press.
    static constexpr int kMostGaps = 4;
    // Sub-blocks kept for measuring a press and finding its edges.
    static constexpr int kHistory = 64;
    // Sub-blocks analysed at a time before the windows ending at them are
    // decided on; the history outlives a batch by far.
    static constexpr std::size_t kBatch = 16;

    PressTracker() {
        presses_.reserve(16);
        runs_.reserve(16);
    }

    // Takes any number of samples, in order.
    void Feed(std::span<const int16_t> samples);
    // Ends the stream: silence is fed until every window has passed the last
    // sample, so that a press still going is reported; no press ends after
    // the last sample fed.
    void Finish();

    // The presses found so far, in order; each appears once its end is known
    // and no press of its key can follow within 30 ms.
    const std::vector<TrackedPress>& Presses() const { return presses_; }
    // Forgets the presses found so far, keeping their room.
    void ClearPresses() { presses_.clear(); }
    int64_t Samples() const { return samples_; }

    // The runs of windows holding a tone pair for 20 ms or more that have
    // ended, in order, and the one going on (key 0 when there is none or it
    // has yet to show the pair clear of what is around it). Followed only
    // once asked for, before the first sample: each run costs a check, and
    // those ended pile up until cleared.
    void FollowRuns() { follow_runs_ = true; }
    const std::vector<ToneRun>& Runs() const { return runs_; }
    void ClearRuns() { runs_.clear(); }
    ToneRun OpenRun() const;

    // One sub-block's correlations with the key frequencies, turned to the
    // phase of each frequency at the stream's first sample: real parts of the
    // eight channels, then imaginary parts; and its energy. Public for the
    // vector code that fills it.
    struct SubBlock {
        std::array<float, 2 * kToneChannels> v;
        float energy;
    };

private:
    struct Window {
        int64_t last = -1;  // its last sub-block
        float power = 0;    // of its two tones
    };
    struct Tones {
        std::array<int, 2> channel;                 // low, high
        std::array<std::complex<double>, 2> value;  // per sub-block, at the window's last
        std::array<std::complex<double>, 2> forward;  // turn from one sub-block to the next
        std::array<double, 2> misfit;               // mean squared, relative to value
        double full;                                // both values' squares, summed
    };

    static std::size_t Slot(int64_t block);
    static ToneRun Run(int key, int64_t first, int64_t last);
    void Analyse(const int16_t* samples, std::size_t blocks);
    void Decide(const TrackerLevels& levels);
    int DecideWindow(const TrackerLevels& levels);
    void Note(int key, int64_t last);
    bool CarriesKey(int key, int64_t last) const;
    void Confirm(int key);
    TrackerProbes Probe(int key, int64_t last, bool with_power = false) const;
    static bool NothingElse(int key, const TrackerProbes& x, bool under, bool overtones = false);
    static bool OnKey(const Tones& tones, const TrackerProbes& x);
    static double Uncertainty(const Tones& tones, int t);
    void Recheck(int64_t last);
    void Release();
    void Flush();
    std::array<float, kSubBlock * kLowBlocks> Samples(int64_t last) const;
    using WindowTones = std::array<std::array<std::complex<double>, kLowBlocks>, 2>;
    Tones Fit(int key, int64_t last) const;
    WindowTones TonesIn(int key, int64_t last) const;
    static Tones FitTo(int key, const WindowTones& window);
    double Presence(const Tones& tones, int64_t block, const std::array<std::complex<double>, 2>& expected) const;
    struct Holding {
        double both;   // of the tones' magnitude together
        double one;    // of the tone that keeps the most of its own
        double share;  // of the sub-block's power in the tones
    };
    Holding Holds(const Tones& tones, int64_t block) const;
    bool Inside(const Tones& tones, int64_t block, int64_t step, int beyond) const;
    int64_t FindStart(const Tones& tones, int64_t last) const;
    int64_t UnlikeAKey(const Tones& tones, int64_t first, int64_t last) const;
    int64_t FindEnd(const Tones& tones, int64_t last) const;

    std::array<int16_t, kSubBlock> pending_{};
    int pending_count_ = 0;
    int64_t samples_ = 0;
    int64_t analysed_ = 0;  // sub-blocks in history_
    int64_t blocks_ = 0;    // sub-blocks decided on
    int64_t stream_end_ = INT64_MAX;
    float offset_ = 0;      // the samples' mean of late
    std::array<SubBlock, kHistory> history_{};
    std::array<int16_t, kSubBlock * kHistory> recent_{};  // the samples of history_

    // A key seen in the last windows, not yet a press.
    int candidate_ = -1;
    int candidate_count_ = 0;
    int candidate_gaps_ = 0;  // windows between its windows that do not hold it
    bool candidate_noisy_ = false;  // all its windows passed only in white noise
    std::array<Window, kWindowsToStart> candidate_windows_{};

    // The press going on, reported at its end if it passed the costly checks.
    int held_ = -1;
    bool report_ = false;
    bool over_background_ = false;  // passed only allowing for a background
    int misses_ = 0;
    int held_windows_ = 0;  // since it was confirmed
    bool on_ = false;       // its tones measured on their key frequencies
    int over_ = 0;          // windows that passed allowing for a background
    int rechecks_ = 0;      // windows still to be checked if it has not passed
    int64_t start_ = 0;
    Window end_window_;  // the last window at about full strength
    Tones start_tones_{};  // fitted at the start
    // The tones in a window a few windows into the press, fitted only if the
    // press's steadiness is in doubt.
    WindowTones settled_tones_{};
    int64_t settled_last_ = -1;  // that window; -1 until then

    int64_t earliest_ = 0;  // no press starts before the last one ended
    // The last press found, kept until no press of its key can follow
    // it closely enough to be the same.
    std::optional<TrackedPress> ready_;
    int ready_key_ = -1;
    std::vector<TrackedPress> presses_;

    // The run of windows going on: its key (-1: none) and its first and last
    // windows' last sub-blocks.
    int run_key_ = -1;
    int64_t run_first_ = 0;
    int64_t run_last_ = 0;
    bool run_sure_ = false;  // one of its windows passed CarriesKey
    bool follow_runs_ = false;
    std::vector<ToneRun> runs_;
};

}
