// Every way through the rate conversion measured on its own, with sines:
// the pass band's gain and phase (output n centred on input time
// n * rate / target, the first output on input 0), the stop band, and the
// samples' independence of how the input is pushed.
#include "rate_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

using tonescan::RateConverter;

namespace {

constexpr double kAmplitude = 16384.0;  // -6 dBFS, room for the ripple
constexpr double kKeys[] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};

// One way through the converter: what Open chooses for these arguments.
struct Path {
    const char* name;
    int rate;
    int target;
    bool integers;
    int channels;     // of 16-bit input, mixed as sums
    int first_step;   // D of the first FIR step, 1 for none
    bool soxr;        // the last step is libsoxr's
    double pass_top;  // the pass band runs from 100 Hz to here
    double stop_db;   // the least attenuation of the stop band
};

// The output of `count` input samples of `value(i)` at full scale 1.0,
// pushed in pieces of `sizes` in turn, and flushed.
template <typename Value>
std::vector<int16_t> Convert(const Path& p, std::size_t count, Value value, const std::vector<std::size_t>& sizes,
                             bool beside = false) {
    std::vector<int16_t> out;
    const RateConverter::Sink sink = [&out](std::span<const int16_t> s) { out.insert(out.end(), s.begin(), s.end()); };
    RateConverter converter(sink);
    EXPECT_EQ(converter.Open(p.rate, p.target, p.integers, beside), "");
    std::size_t at = 0;
    for (std::size_t k = 0; at < count; ++k) {
        const std::size_t n = std::min(sizes[k % sizes.size()], count - at);
        if (p.integers) {
            std::vector<int32_t> sums(n);
            for (std::size_t i = 0; i < n; ++i) {
                const auto sample = static_cast<int32_t>(std::lround(value(at + i) * 32768.0));
                sums[i] = sample * p.channels;
            }
            EXPECT_EQ(converter.PushSums(sums, p.channels), "");
        } else {
            std::vector<float> mono(n);
            for (std::size_t i = 0; i < n; ++i) mono[i] = static_cast<float>(value(at + i));
            EXPECT_EQ(converter.Push(mono), "");
        }
        at += n;
    }
    EXPECT_EQ(converter.Flush(p.integers ? p.channels : 1), "");
    return out;
}

// A second of a tone.
std::vector<int16_t> Tone(const Path& p, double frequency) {
    const double step = 2.0 * M_PI * frequency / p.rate;
    return Convert(p, static_cast<std::size_t>(p.rate),
                   [step](std::size_t i) { return kAmplitude / 32768.0 * std::sin(step * static_cast<double>(i)); },
                   {RateConverter::kMostInputs});
}

// A tone of `frequency` fitted to the output away from its edges: the gain,
// the delay (in output samples) against an output n centred on input time
// n * rate / target, and what is left beside the tone (dB of the input).
struct Fit {
    double gain_db;
    double delay;
    double rest_db;
};

Fit FitTone(const std::vector<int16_t>& out, double frequency, int target) {
    const std::size_t edge = out.size() / 10;
    const double w = 2.0 * M_PI * frequency / target;
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (std::size_t n = edge; n + edge < out.size(); ++n) {
        const double s = std::sin(w * static_cast<double>(n)), c = std::cos(w * static_cast<double>(n));
        ss += s * s, sc += s * c, cc += c * c, ys += out[n] * s, yc += out[n] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double rest = 0;
    for (std::size_t n = edge; n + edge < out.size(); ++n) {
        const double e = out[n] - a * std::sin(w * static_cast<double>(n)) - b * std::cos(w * static_cast<double>(n));
        rest += e * e;
    }
    rest = std::sqrt(rest / static_cast<double>(out.size() - 2 * edge)) * std::sqrt(2.0);
    return {20 * std::log10(std::hypot(a, b) / kAmplitude), -std::atan2(b, a) / w,
            20 * std::log10(std::max(rest, 1e-3) / kAmplitude)};
}

class RateConverterPath : public ::testing::TestWithParam<Path> {};

// A delay of a fraction of an output sample, or a first output missing or
// added, shows as a phase.
TEST_P(RateConverterPath, KeepsThePassBandInPhase) {
    const Path p = GetParam();
    std::vector<double> tones(std::begin(kKeys), std::end(kKeys));
    for (double f = 100; f < p.pass_top; f += (p.pass_top - 100) / 16) tones.push_back(f);
    tones.push_back(p.pass_top);
    for (double f : tones) {
        const Fit fit = FitTone(Tone(p, f), f, p.target);
        EXPECT_NEAR(fit.gain_db, 0.0, 0.05) << f << " Hz";
        EXPECT_LT(std::fabs(fit.delay), 0.01) << f << " Hz";
        EXPECT_LT(fit.rest_db, -75.0) << f << " Hz";
    }
}

// Where a tone of `frequency` at `rate` ends up at `target`, folded at the
// first step's rate on the way.
double Landing(const Path& p, double frequency) {
    const auto fold = [](double f, double rate) { return std::fabs(std::remainder(f, rate)); };
    return fold(fold(frequency, static_cast<double>(p.rate) / p.first_step), p.target);
}

// Down to the target: what would fold onto the pass band, from the target
// rate less the pass band's top up. (Up, the images show in the pass band's
// rest.)
class RateConverterDown : public RateConverterPath {};

TEST_P(RateConverterDown, StopsWhatWouldFoldOntoTheKeys) {
    const Path p = GetParam();
    std::vector<double> tones;
    for (double f : kKeys) tones.push_back(p.target - f);
    const double bottom = p.target - p.pass_top;
    for (double f = bottom; f < 0.49 * p.rate; f += (0.49 * p.rate - bottom) / 64) tones.push_back(f);
    for (double f : tones) {
        // What lands between the pass band and half the target rate may
        // pass: it is no key.
        const double landing = Landing(p, f);
        if (landing < 20 || landing > p.pass_top) continue;
        EXPECT_LT(FitTone(Tone(p, f), landing, p.target).gain_db, -p.stop_db) << f << " Hz, landing at " << landing;
    }
}

// The same samples however the input is cut up, and with the last step on
// a thread of its own; Flush gives the tail.
TEST_P(RateConverterPath, GivesTheSameSamplesHoweverPushed) {
    const Path p = GetParam();
    const std::size_t count = static_cast<std::size_t>(p.rate) * 3 / 2 + 7;
    const auto noise = [](std::size_t i) {
        const uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
        return (static_cast<double>(h >> 8) / (1 << 24) - 0.5) * 0.8;
    };
    const std::vector<int16_t> whole = Convert(p, count, noise, {RateConverter::kMostInputs});
    // libsoxr rounds the length; the filters here give every output centred
    // on the input the step before them received, or before.
    const double before_last = std::ceil(static_cast<double>(count) / p.first_step) * p.first_step;
    const double outputs = p.soxr ? std::round(static_cast<double>(count) * p.target / p.rate)
                                  : std::ceil(before_last * p.target / p.rate);
    EXPECT_EQ(whole.size(), static_cast<std::size_t>(outputs));
    for (bool beside : {false, true}) {
        const std::vector<int16_t> pieces = Convert(p, count, noise, {1, 7, 333, 4097, 2, 12345}, beside);
        EXPECT_TRUE(pieces == whole) << "beside " << beside;
    }
}

void PrintTo(const Path& p, std::ostream* os) { *os << p.name; }

const Path kPaths[] = {
    // To 4000/s for the block analysis. The filters here are designed
    // for 70 dB; the half-band's 51 taps in Q14 and the shortest first
    // step (D = 2) reach 63 dB.
    Path{"Same4000", 4000, 4000, true, 2, 1, false, 1900, 0},
    Path{"FloatSame4000", 4000, 4000, false, 1, 1, false, 1900, 0},
    Path{"HalfBand8000", 8000, 4000, true, 1, 1, false, 1660, 60},
    Path{"HalfBand8000Stereo", 8000, 4000, true, 2, 1, false, 1660, 60},
    Path{"Ratio11025", 11025, 4000, true, 1, 1, false, 1660, 67},
    Path{"FirRatio16000", 16000, 4000, true, 2, 2, false, 1660, 60},
    Path{"FirRatio44100", 44100, 4000, true, 2, 5, false, 1660, 67},
    Path{"FirRatio48000", 48000, 4000, true, 1, 6, false, 1660, 65},
    Path{"FirRatio88200", 88200, 4000, true, 1, 11, false, 1660, 67},
    Path{"FirSoxr44056", 44056, 4000, true, 2, 5, true, 1660, 67},
    Path{"Soxr11127", 11127, 4000, true, 1, 1, true, 1660, 90},
    Path{"FloatRatio8000", 8000, 4000, false, 1, 1, false, 1660, 67},
    Path{"FloatRatio16000", 16000, 4000, false, 1, 1, false, 1660, 67},
    Path{"FloatSoxr44100", 44100, 4000, false, 1, 1, true, 1660, 90},
    // To 8000/s for the press tracker: libsoxr's high quality.
    Path{"Same8000", 8000, 8000, true, 2, 1, false, 3800, 0},
    Path{"Soxr4000To8000", 4000, 8000, true, 1, 1, true, 1800, 0},
    Path{"Soxr16000To8000", 16000, 8000, true, 1, 1, true, 3400, 100},
    Path{"Soxr22050To8000", 22050, 8000, true, 2, 1, true, 3400, 100},
    Path{"Soxr44100To8000", 44100, 8000, true, 2, 1, true, 3400, 100},
    Path{"Soxr48000To8000", 48000, 8000, true, 1, 1, true, 3400, 100},
    Path{"FloatSoxr48000To8000", 48000, 8000, false, 1, 1, true, 3400, 100},
};

std::vector<Path> Down() {
    std::vector<Path> down;
    std::copy_if(std::begin(kPaths), std::end(kPaths), std::back_inserter(down),
                 [](const Path& p) { return p.rate > p.target; });
    return down;
}

std::string Name(const ::testing::TestParamInfo<Path>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Paths, RateConverterPath, ::testing::ValuesIn(kPaths), Name);
INSTANTIATE_TEST_SUITE_P(Paths, RateConverterDown, ::testing::ValuesIn(Down()), Name);

}  // namespace
