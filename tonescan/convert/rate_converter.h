// Mono at the input's rate in, 16-bit at the target rate out. 16-bit PCM of
// one or two channels comes as integer sums of the channels; other input as
// floats of full scale 1.0. For the block analysis at 4000/s, 8000/s integer
// input goes through the half-band decimator; other rates through filters
// that keep 0-1660 Hz and stop what would fold onto the keys (from 2340 Hz
// up; what lies between 2000 and 2340 Hz folds above the highest key): a
// first FIR step for integer rates from 16000/s, then the ratio decimator,
// or libsoxr for ratios it leaves. Other targets go through libsoxr's
// high-quality low-pass, so that tones above half the target rate are
// removed instead of folding onto the DTMF band. Every path is zero phase:
// output n is centred on input time n * rate / target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "filters.h"

struct soxr;

namespace tonescan {

class Handoff;
struct SoxrDeleter {
    void operator()(soxr* resampler) const;
};

class RateConverter {
public:
    using Sink = std::function<void(std::span<const int16_t>)>;

    // Inputs per push at most; libsoxr's output buffer is sized for them.
    static constexpr std::size_t kMostInputs = std::size_t{1} << 15;

    explicit RateConverter(const Sink& sink);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    // Whether each 4000/s output of 16-bit input at `rate` depends on the
    // input near it alone, by the same operations wherever the input starts
    // on a whole second: such input can be decoded in parts side by side.
    static bool ConvertsInParts(int rate);

    // `beside`: the last step, and the sink after it, run on a thread of
    // their own. An error is why the rate cannot be converted.
    std::string Open(int rate, int target_rate, bool integer_input, bool beside = false);

    // Sums of `channels` (1 or 2) 16-bit samples per frame.
    std::string PushSums(std::span<const int32_t> sums, int channels);
    // Floats of full scale 1.0.
    std::string Push(std::span<const float> mono);
    // The end of the input: what the filters still hold comes out.
    std::string Flush(int channels);

private:
    std::string OpenHere(int rate, int target_rate, bool integer_input);
    std::string Convert(std::span<const float> mono);
    // The first FIR step's factor for 16-bit input at `rate`; 1 for none.
    static std::size_t FirstStepFactor(int rate);
    void Emit(std::span<const float> values);

    const Sink& sink_;
    std::optional<HalfBandDecimator> decimator_;
    std::optional<FirDecimator> predecimator_;
    Buffer<float> lower_;
    std::unique_ptr<RatioDecimator> ratio_;
    Buffer<float> ratioed_;
    std::unique_ptr<soxr, SoxrDeleter> resampler_;
    std::vector<float> converted_;
    Buffer<float> floats_;
    Buffer<int16_t> samples_;
    // Last, so that its thread has stopped before the rest goes.
    std::unique_ptr<Handoff> handoff_;
};

}
