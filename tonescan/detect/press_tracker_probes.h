// The press tracker's probes: the frequencies beside, between and below a
// key's that its costlier checks correlate a window with, once for each
// window a press starts with, and what they measure there.
#pragma once

#include <array>
#include <complex>

namespace tonescan {

namespace tracker {

// Frequencies where a voice, an instrument or a third tone would show and a
// key has nothing: 60-660 Hz (a voice's fundamental and low harmonics) and
// 1000-1160 Hz between the groups every 40 Hz, 1720-2360 Hz above them
// every 80 Hz, and the difference of the two tones' frequencies.
struct QuietBand {
    int from, to, step;
};
constexpr std::array<QuietBand, 3> kQuietBands = {{{60, 660, 40}, {1000, 1160, 40}, {1720, 2360, 80}}};
constexpr int QuietCount() {
    int n = 1;
    for (const QuietBand& band : kQuietBands) n += (band.to - band.from) / band.step + 1;
    return n;
}
constexpr int kQuietProbes = QuietCount();

// The frequencies correlated with the samples of a candidate's window for the
// checks too costly for every window, all over the low window: each tone,
// its guards and its second harmonic, four helpers for the tone's frequency
// (plain correlations at h/2 and 3h/2 to either side of it, h the window's
// bin width, which combine into Hann-windowed ones), and the quiet ones.
enum Probe { kLowTone, kLowBelow, kLowAbove, kLowHarmonic, kLowHann, kHighTone = kLowHann + 4, kHighBelow, kHighAbove,
             kHighHarmonic, kHighHann, kQuietFirst = kHighHann + 4, kProbes = kQuietFirst + kQuietProbes };

}

// A window's correlations with a key's probe frequencies: the squared
// amplitude at each, and the complex correlations of the Hann helpers.
struct TrackerProbes {
    std::array<double, tracker::kProbes> level;
    std::array<std::complex<double>, 4> low_hann, high_hann;
    // The window's mean power, which only the checks allowing for a
    // background need: NaN unless asked for, which allows none.
    double power;
};

}
