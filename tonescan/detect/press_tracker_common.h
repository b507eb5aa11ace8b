// What the press tracker's units share: its sizes in samples, the thresholds
// that more than one of them applies, and the complex arithmetic of its fits
// and probes.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>

#include "press_tracker.h"

namespace tonescan::tracker {

using Complex = std::complex<double>;

// Products of finite complex values, without the checks for infinities that
// the operators of std::complex make on every product.
inline Complex Mul(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// The squared magnitude: std::norm goes through std::abs, a hypot call,
// unless built with -ffast-math.
inline double Norm(Complex a) { return a.real() * a.real() + a.imag() * a.imag(); }

// a times the conjugate of b.
inline Complex MulConj(Complex a, Complex b) {
    return {a.real() * b.real() + a.imag() * b.imag(), a.imag() * b.real() - a.real() * b.imag()};
}

constexpr int kB = PressTracker::kSubBlock;
// Sub-blocks analysed at a time before their windows are decided on.
constexpr std::size_t kFrontBatch = PressTracker::kBatch;
constexpr int kLowSamples = kB * PressTracker::kLowBlocks;

inline double Db(double db) { return std::pow(10.0, db / 10.0); }

// A key over speech or music: where the tones stand out enough, anything
// beside them up to what a background this far under them can put into one
// frequency is taken for the background.
inline const double kBackground = Db(-5);
// A measured frequency may be off by this many standard deviations of what
// the window's noise leaves uncertain.
constexpr double kOffsetDeviations = 3;

}
