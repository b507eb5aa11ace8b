#include "press_tracker_probes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "press_tracker_common.h"
#include "press_tracker_kernel.h"

namespace tonescan {

using namespace tracker;

namespace {

// How far a tone's second harmonic stays under it, and anything at the
// quiet frequencies (below) under the weaker tone.
const double kHarmonic = Db(-10);
const double kQuietLevel = Db(-10);
// Over a background (kBackground): where the tones hold this share of the
// window's power, with at most this much twist.
constexpr float kOverShare = 0.68f;
const double kOverTwist = Db(9);
// A key frequency is off by at most 1.5%; its measurement may be off by a
// tenth of a percent more, and by kOffsetDeviations standard deviations of
// what the window's noise leaves uncertain.
constexpr double kMaxOffset = 0.016;

static_assert(kProbes <= kTrackerProbes && kLowSamples == kTrackerProbeSamples);

// The probe frequencies of a key, correlated with the low window all at once.
struct ProbeSet {
    std::array<double, kTrackerProbes> hz{};
    alignas(64) std::array<float, kTrackerProbes> coefficient{};  // 2 cos w
    std::array<Complex, kTrackerProbes> back{};                   // e^-iw
    std::array<Complex, kTrackerProbes> lead{};                   // e^-iw(N-1)

    void Set(int p, double frequency) {
        const double w = 2 * std::numbers::pi * frequency / kTrackerRate;
        hz[p] = frequency;
        coefficient[p] = static_cast<float>(2 * std::cos(w));
        back[p] = std::polar(1.0, -w);
        lead[p] = std::polar(1.0, -w * (kLowSamples - 1));
    }
};

using Probes = TrackerProbes;

Probes Correlate(const ProbeSet& set, const float* samples, bool with_power) {
    static const TrackerRecurse recurse = TrackerKernelChosen().recurse;
    alignas(64) std::array<float, kTrackerProbes> s1, s2;
    recurse(samples, set.coefficient.data(), s1.data(), s2.data());
    Probes out;
    out.power = std::numeric_limits<double>::quiet_NaN();
    if (with_power) {
        double energy = 0;
        for (int n = 0; n < kLowSamples; ++n) energy += double(samples[n]) * samples[n];
        out.power = energy / kLowSamples;
    }
    for (int p = 0; p < kProbes; ++p) {
        const double a = s1[p], b = s2[p];
        out.level[p] = (a * a + b * b - set.coefficient[p] * a * b) * (4.0 / (double(kLowSamples) * kLowSamples));
    }
    // sum x[n] e^-iwn = e^-iw(N-1) (s[N-1] - e^-iw s[N-2]).
    const auto complex = [&](int p) { return Mul(set.lead[p], Complex(s1[p]) - set.back[p] * double(s2[p])); };
    for (int i = 0; i < 4; ++i) {
        out.low_hann[i] = complex(kLowHann + i);
        out.high_hann[i] = complex(kHighHann + i);
    }
    return out;
}

// The frequencies halfway (geometrically) from a key frequency to its
// neighbours in the group, mirrored at the group's ends: a tone nearer one of
// these than its key frequency is off the keypad.
std::array<double, 2> GuardsOf(int channel) {
    const int first = channel < 4 ? 0 : 4;
    const double f = kToneFrequencies[channel];
    const double below = channel > first ? kToneFrequencies[channel - 1] : f * f / kToneFrequencies[channel + 1];
    const double above = channel < first + 3 ? kToneFrequencies[channel + 1] : f * f / kToneFrequencies[channel - 1];
    return {std::sqrt(f * below), std::sqrt(f * above)};
}

// The squared response of a window of `count` samples at `hz` to a sine at
// `tone_hz`, relative to its response at the sine's own frequency, at its
// worst for sines up to 2.5% off: what a key's tones leak into a frequency
// that is checked for being quiet.
double Leakage(double hz, double tone_hz, int count) {
    double worst = 0;
    for (int step = -25; step <= 25; ++step) {
        const double x = std::numbers::pi * (hz - tone_hz * (1 + step / 1000.0)) / kTrackerRate;
        const double response = std::abs(std::sin(x)) < 1e-12 ? 1.0 : std::sin(count * x) / (count * std::sin(x));
        worst = std::max(worst, response * response);
    }
    return worst;
}

struct KeyProbes {
    ProbeSet probes;
    // The high tone's leakage into the low tone's second harmonic, and both
    // tones' into each quiet frequency.
    double harmonic_from_high;
    std::array<std::array<double, 2>, kQuietProbes> quiet_from;
};

std::array<KeyProbes, 16> MakeKeyProbes() {
    std::array<KeyProbes, 16> table{};
    for (int key = 0; key < 16; ++key) {
        KeyProbes& k = table[key];
        ProbeSet& p = k.probes;
        const int low = key / 4, high = 4 + key % 4;
        const double f_low = kToneFrequencies[low], f_high = kToneFrequencies[high];
        const double bin = double(kTrackerRate) / kLowSamples;
        p.Set(kLowTone, f_low);
        p.Set(kLowBelow, GuardsOf(low)[0]);
        p.Set(kLowAbove, GuardsOf(low)[1]);
        p.Set(kLowHarmonic, 2 * f_low);
        p.Set(kHighTone, f_high);
        p.Set(kHighBelow, GuardsOf(high)[0]);
        p.Set(kHighAbove, GuardsOf(high)[1]);
        p.Set(kHighHarmonic, 2 * f_high);
        for (int i = 0; i < 4; ++i) {
            p.Set(kLowHann + i, f_low + (i - 1.5) * bin);
            p.Set(kHighHann + i, f_high + (i - 1.5) * bin);
        }
        int q = kQuietFirst;
        p.Set(q++, f_high - f_low);
        for (const QuietBand& band : kQuietBands) {
            for (int hz = band.from; hz <= band.to; hz += band.step) p.Set(q++, hz);
        }
        for (int i = 0; i < kQuietProbes; ++i) {
            const double hz = p.hz[static_cast<std::size_t>(kQuietFirst + i)];
            k.quiet_from[i] = {Leakage(hz, f_low, kLowSamples), Leakage(hz, f_high, kLowSamples)};
        }
        k.harmonic_from_high = Leakage(2 * f_low, f_high, kLowSamples);
    }
    return table;
}

// Built on first use rather than at load: the leakages take some 100,000
// sines, which every program linking the analysis would otherwise pay for at
// start-up, whether or not it tracks presses.
const KeyProbes& KeyProbesOf(int key) {
    static const std::array<KeyProbes, 16> kTable = MakeKeyProbes();
    return kTable[static_cast<std::size_t>(key)];
}

// A tone's offset from its key frequency in Hz, from plain correlations at
// 3h/2 and h/2 below it and h/2 and 3h/2 above it (`x`): through
// a Hann window, correlations half a bin to either side answer a sine at
// offset e bins in the ratio (3 + 2e) / (3 - 2e).
double ToneOffset(const std::array<Complex, 4>& x) {
    const double below = std::abs(0.5 * x[1] - 0.25 * x[0] - 0.25 * x[2]);
    const double above = std::abs(0.5 * x[2] - 0.25 * x[1] - 0.25 * x[3]);
    return 1.5 * kTrackerRate / kLowSamples * (above - below) / std::max(above + below, 1e-9);
}

}

std::array<float, kLowSamples> PressTracker::Samples(int64_t last) const {
    std::array<float, kLowSamples> window;
    int32_t sum = 0;
    for (int m = 0; m < kLowBlocks; ++m) {
        const int16_t* block = recent_.data() + Slot(last - kLowBlocks + 1 + m) * kB;
        std::copy_n(block, kB, window.begin() + m * kB);
        for (int n = 0; n < kB; ++n) sum += block[n];
    }
    // Without its mean, as the sub-blocks are measured. Summed as integers:
    // every partial sum of 192 16-bit samples is exact in a float's 24 bits,
    // so this is the floats' sum, without waiting on one add after another.
    const float mean = static_cast<float>(sum) / kLowSamples;
    for (float& v : window) v -= mean;
    return window;
}

// The checks that need frequencies beside, between and below the key
// frequencies, on the correlations `x` of a window with the key's probes:
//   - each tone nearer its key frequency than its guards;
//   - each tone's second harmonic weak: tones with overtones come from a
//     voice or an instrument;
//   - nothing at the difference of the two frequencies: when both are
//     harmonics of one voice, so is their difference, whereas two pure tones,
//     even clipped symmetrically, make nothing there;
//   - no voice fundamental or low harmonic, 60 to 600 Hz.
// What the key's own tones leak into the frequencies checked for quiet is
// allowed for, twice over for the uneven spectra of coded tones; `under`
// allows, where the tones stand out enough, for a background under them;
// `overtones` leaves out the check of the second harmonics.
bool PressTracker::NothingElse(int key, const TrackerProbes& x, bool under, bool overtones) {
    const KeyProbes& k = KeyProbesOf(key);
    const double low = x.level[kLowTone], high = x.level[kHighTone];
    if (x.level[kLowBelow] >= low || x.level[kLowAbove] >= low || x.level[kHighBelow] >= high ||
        x.level[kHighAbove] >= high) {
        return false;
    }
    // A sine's level is twice its power; the tones' power is half their
    // levels' sum.
    const bool over = under && (low + high) / 2 >= kOverShare * x.power && high <= kOverTwist * low &&
                      low <= kOverTwist * high;
    const auto background = [&](double level) { return over && level <= kBackground * (low + high); };
    const double low_harmonic = x.level[kLowHarmonic], high_harmonic = x.level[kHighHarmonic];
    if (!overtones && ((low_harmonic > kHarmonic * low + 2 * k.harmonic_from_high * high && !background(low_harmonic)) ||
                       (high_harmonic > kHarmonic * high && !background(high_harmonic)))) {
        return false;
    }
    const double weaker = std::min(low, high);
    for (int q = 0; q < kQuietProbes; ++q) {
        const auto& leak = k.quiet_from[static_cast<std::size_t>(q)];
        const double level = x.level[kQuietFirst + q];
        if (level > kQuietLevel * weaker + 2 * (leak[0] * low + leak[1] * high) && !background(level)) return false;
    }
    return true;
}

// Whether each tone is within kMaxOffset of its key frequency in a window's
// correlations `x`, give or take the uncertainty of the measurement that
// the steadiness of the `tones` fitted to the same window leaves. The window
// must lie inside the tones.
bool PressTracker::OnKey(const Tones& tones, const TrackerProbes& x) {
    const std::array<double, 2> offsets = {ToneOffset(x.low_hann), ToneOffset(x.high_hann)};
    for (int t = 0; t < 2; ++t) {
        const double f = kToneFrequencies[tones.channel[t]];
        if (std::abs(offsets[t]) > (kMaxOffset * f) + kOffsetDeviations * Uncertainty(tones, t)) return false;
    }
    return true;
}

TrackerProbes PressTracker::Probe(int key, int64_t last, bool with_power) const {
    return Correlate(KeyProbesOf(key).probes, Samples(last).data(), with_power);
}

}
