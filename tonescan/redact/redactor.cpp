// The redactor: a push detector listens to the frames while they wait out a
// fixed delay; by the time a frame leaves, every press or run of tone-holding
// windows around it is known, and the frame is copied or masked.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <numbers>
#include <type_traits>
#include <vector>

#include "guarded.h"
#include "press_time.h"
#include "rates.h"
#include "tonescan.h"
#include "tracker_access.h"

namespace tonescan {
namespace {

constexpr int32_t kMostChannels = 1024;
constexpr int32_t kMostGuardMs = 1000;
// Beyond the guard, how long the detector may take to know a press after its
// tones end: three windows to end it, 30 ms in which the key could go on,
// its last window, a batch of sub-blocks and the rate conversion.
constexpr int64_t kDecisionMs = 300;
constexpr int64_t kFadeMs = 5;
constexpr int64_t kCarryMs = 20;
// The level that noise takes is that of the last 100 ms before the span.
constexpr double kLevelSeconds = 0.1;
constexpr std::size_t kRoom = 64;
constexpr int32_t kDetectorQueue = 256;

// A tone span as the detector found it, before the guard.
struct Mark {
    int64_t start;
    int64_t end;
    char key;
    bool press;
};

struct DetectorDeleter {
    void operator()(tonescan_detector* detector) const { tonescan_detector_destroy(detector); }
};

int64_t CeilFrames(int64_t rate, int64_t ms) { return (rate * ms + 999) / 1000; }

}
}

using namespace tonescan;

struct tonescan_redactor {
    tonescan_redact_spec spec{};
    std::unique_ptr<tonescan_detector, DetectorDeleter> detector;
    std::size_t channels = 1;
    std::size_t piece = 1;
    int64_t delay = 0;
    int64_t guard = 0;
    int64_t fade = 1;
    int64_t carry = 1;  // the shortest tone that carries a digit
    enum class Fed { kNothing, kIntegers, kFloats } fed = Fed::kNothing;
    std::vector<int16_t> ring16;
    std::vector<float> ring32;
    std::size_t capacity = 0;  // frames the ring holds
    int64_t in = 0;            // frames fed
    int64_t out = 0;           // frames given back
    bool ended = false;
    std::vector<tonescan_press> presses;
    std::vector<Mark> marks;
    std::vector<Mark> merged;
    // The span being given out, reported once its last frame is out.
    bool open = false;
    tonescan_span current{};
    std::vector<tonescan_span> spans;
    double level = 0;
    double level_keep = 0;
    uint32_t noise = 0x9e3779b9u;

    int64_t Frame(int64_t tracker_sample) const {
        return FrameAt(tracker_sample * (1'000'000 / kTrackerRate), spec.rate);
    }

    // What the detector has found since the last look: presses, and the runs
    // of windows that hold tones. A run that a press covers, but for less
    // than a digit's 20 ms at either end, is the press. One that reaches
    // further is kept beside it: the press's edges are where its tones are
    // whole, and a codec's garbled tail past them still carries the key;
    // merged, the two make one span of the press.
    void Gather() {
        for (;;) {
            const std::size_t n = tonescan_detector_take(detector.get(), presses.data(), presses.size());
            for (std::size_t i = 0; i < n; ++i) {
                marks.push_back({presses[i].start, presses[i].end, presses[i].key, true});
            }
            if (n < presses.size()) break;
        }
        PressTracker& tracker = TrackerOf(*detector);
        for (const ToneRun& run : tracker.Runs()) marks.push_back({Frame(run.start), Frame(run.end), run.key, false});
        tracker.ClearRuns();
        const auto covered = [&](const Mark& m) {
            return !m.press && std::any_of(marks.begin(), marks.end(), [&](const Mark& p) {
                       return p.press && p.start < m.end && m.start < p.end && m.start > p.start - carry &&
                              m.end < p.end + carry;
                   });
        };
        marks.erase(std::remove_if(marks.begin(), marks.end(), covered), marks.end());
    }

    // The spans to mask from `out` on, guards included, merged and in order.
    void Merge() {
        merged.clear();
        for (const Mark& m : marks) merged.push_back({m.start - guard, m.end + guard, m.key, m.press});
        const ToneRun run = TrackerOf(*detector).OpenRun();
        if (run.key != 0 && !ended) merged.push_back({Frame(run.start) - guard, Frame(run.end) + guard, run.key, false});
        std::sort(merged.begin(), merged.end(), [](const Mark& a, const Mark& b) { return a.start < b.start; });
        std::size_t n = 0;
        for (const Mark& m : merged) {
            const Mark clipped{std::max<int64_t>(m.start, 0), std::min(m.end, ended ? in : INT64_MAX), m.key, m.press};
            if (clipped.end <= clipped.start) continue;
            // Spans closer than two fades are one: what lies between them
            // would be no more than a click.
            if (n > 0 && clipped.start <= merged[n - 1].end + 2 * fade) {
                Mark& last = merged[n - 1];
                last.end = std::max(last.end, clipped.end);
                if (clipped.press && !last.press) last.key = clipped.key;
                last.press = last.press || clipped.press;
            } else {
                merged[n++] = clipped;
            }
        }
        merged.resize(n);
    }

    double Noise() {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        return static_cast<double>(noise) / 2147483648.0 - 1.0;
    }

    // How much of the input a frame of a span keeps: none inside, fading
    // over the span's first and last frames.
    int64_t Ramp(const Mark& span) const { return std::max<int64_t>(1, std::min(fade, (span.end - span.start) / 2)); }

    double Gain(const Mark& span, int64_t t) const {
        const int64_t ramp = Ramp(span);
        double x;
        if (t - span.start < ramp) {
            x = (static_cast<double>(t - span.start) + 0.5) / static_cast<double>(ramp);
        } else if (span.end - 1 - t < ramp) {
            x = (static_cast<double>(span.end - t) - 0.5) / static_cast<double>(ramp);
        } else {
            return 0;
        }
        return 0.5 + 0.5 * std::cos(std::numbers::pi * x);
    }

    // Frames [t, t + count) of `span` are masked. What is reported is the
    // frames masked, whatever later knowledge did to the spans they were
    // masked for.
    void Report(const Mark& span, int64_t t, int64_t count) {
        if (open && t == current.end) {
            current.end = t + count;
            if (span.press && current.press == 0) current.key = span.key;
            current.press = current.press != 0 || span.press;
            return;
        }
        if (open) spans.push_back(current);
        current = {t, t + count, span.key, span.press ? 1 : 0};
        open = true;
    }

    // The level of the audio that noise fills in at, from the frames
    // before the span.
    template <typename Sample>
    void Follow(const Sample* frames, std::size_t count, double scale) {
        for (std::size_t f = 0; f < count; ++f) {
            double power = 0;
            for (std::size_t c = 0; c < channels; ++c) {
                const double v = static_cast<double>(frames[f * channels + c]) / scale;
                power += std::isfinite(v) ? v * v : 0;
            }
            level = level * level_keep + (1 - level_keep) * power / static_cast<double>(channels);
        }
    }

    template <typename Sample>
    std::vector<Sample>& Ring() {
        if constexpr (std::is_same_v<Sample, int16_t>) {
            return ring16;
        } else {
            return ring32;
        }
    }

    // Gives frames [out, out + n) back into `to`.
    template <typename Sample>
    void Emit(Sample* to, std::size_t n) {
        Merge();
        const std::vector<Sample>& ring = Ring<Sample>();
        constexpr double kScale = std::is_same_v<Sample, int16_t> ? 32768.0 : 1.0;
        std::size_t next = 0;
        std::size_t i = 0;
        while (i < n) {
            while (next < merged.size() && merged[next].end <= out) ++next;
            if (next == merged.size() || merged[next].start > out) {
                // Frames outside the spans are copied as they are, up to the
                // next span or the ring's end.
                const int64_t until = next == merged.size() ? INT64_MAX : merged[next].start;
                const auto slot = static_cast<std::size_t>(out % static_cast<int64_t>(capacity));
                const std::size_t count = static_cast<std::size_t>(
                    std::min({until - out, static_cast<int64_t>(n - i), static_cast<int64_t>(capacity - slot)}));
                const Sample* from = ring.data() + slot * channels;
                std::copy_n(from, count * channels, to + i * channels);
                if (spec.fill == TONESCAN_FILL_NOISE) Follow(from, count, kScale);
                i += count;
                out += static_cast<int64_t>(count);
                continue;
            }
            Sample* dest = to + i * channels;
            const Mark& span = merged[next];
            const int64_t ramp = Ramp(span);
            if (spec.fill == TONESCAN_FILL_SILENCE && out >= span.start + ramp && out < span.end - ramp) {
                // Between the fades, silence in one piece.
                const auto count = static_cast<std::size_t>(std::min(span.end - ramp - out, static_cast<int64_t>(n - i)));
                Report(span, out, static_cast<int64_t>(count));
                std::fill_n(dest, count * channels, Sample{});
                i += count;
                out += static_cast<int64_t>(count);
                continue;
            }
            const Sample* frame = ring.data() + static_cast<std::size_t>(out % static_cast<int64_t>(capacity)) * channels;
            Report(span, out, 1);
            const double gain = Gain(span, out);
            const double amplitude = spec.fill == TONESCAN_FILL_NOISE ? std::sqrt(3 * level) * kScale : 0;
            for (std::size_t c = 0; c < channels; ++c) {
                const double v = static_cast<double>(frame[c]);
                const double kept = std::isfinite(v) ? gain * v : 0;
                const double value = kept + (1 - gain) * amplitude * (amplitude > 0 ? Noise() : 0);
                if constexpr (std::is_same_v<Sample, int16_t>) {
                    dest[c] = static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
                } else {
                    dest[c] = static_cast<float>(value);
                }
            }
            ++i;
            ++out;
        }
        if (open && (out > current.end || (ended && out == in))) {
            spans.push_back(current);
            open = false;
        }
        // A mark is kept while a span could still be bridged to it.
        marks.erase(std::remove_if(marks.begin(), marks.end(),
                                   [&](const Mark& m) { return m.end + guard + 2 * fade < out; }),
                    marks.end());
    }

    template <typename Sample>
    int FeedDetector(const Sample* frames, std::size_t n) {
        std::size_t done = 0;
        while (done < n) {
            std::size_t consumed = 0;
            int result;
            if constexpr (std::is_same_v<Sample, int16_t>) {
                result = tonescan_detector_feed_i16(detector.get(), frames + done * channels, n - done, &consumed);
            } else {
                result = tonescan_detector_feed_f32(detector.get(), frames + done * channels, n - done, &consumed);
            }
            done += consumed;
            Gather();
            if (result != TONESCAN_OK && result != TONESCAN_EFULL) return result;
        }
        return TONESCAN_OK;
    }

    template <typename Sample>
    int Feed(const Sample* frames, std::size_t count, Sample* to, std::size_t* written) {
        const Fed type = std::is_same_v<Sample, int16_t> ? Fed::kIntegers : Fed::kFloats;
        if (fed != Fed::kNothing && fed != type) return TONESCAN_EARG;
        if (count > 0 && to == nullptr) return TONESCAN_EARG;
        if (ended) {
            if (frames != nullptr) return TONESCAN_EENDED;
            if (fed == Fed::kNothing) return TONESCAN_OK;
            const auto n = static_cast<std::size_t>(std::min<int64_t>(in - out, static_cast<int64_t>(count)));
            Emit(to, n);
            *written = n;
            return TONESCAN_OK;
        }
        if (frames == nullptr && count > 0) return TONESCAN_EARG;
        if (count == 0) return TONESCAN_OK;
        if (fed == Fed::kNothing) {
            Ring<Sample>().assign(capacity * channels, Sample{});
            fed = type;
        }
        std::vector<Sample>& ring = Ring<Sample>();
        std::size_t done = 0;
        while (done < count) {
            const std::size_t n = std::min(piece, count - done);
            const Sample* from = frames + done * channels;
            const int result = FeedDetector(from, n);
            if (result != TONESCAN_OK) return result;
            for (std::size_t stored = 0; stored < n;) {
                const auto slot = static_cast<std::size_t>(in % static_cast<int64_t>(capacity));
                const std::size_t m = std::min(n - stored, capacity - slot);
                std::copy_n(from + stored * channels, m * channels, ring.data() + slot * channels);
                stored += m;
                in += static_cast<int64_t>(m);
            }
            done += n;
            if (in - delay > out) {
                const auto due = static_cast<std::size_t>(in - delay - out);
                Emit(to + *written * channels, due);
                *written += due;
            }
        }
        return TONESCAN_OK;
    }

    int Finish() {
        if (ended) return TONESCAN_OK;
        int result;
        while ((result = tonescan_detector_finish(detector.get())) == TONESCAN_EFULL) Gather();
        Gather();
        ended = true;
        return result;
    }
};

namespace {

int Check(const tonescan_redact_spec* spec) {
    if (spec == nullptr || spec->size < sizeof(tonescan_redact_spec)) return TONESCAN_EARG;
    if (spec->rate < 4000 || spec->rate > 192000) return TONESCAN_ERATE;
    if (spec->channels < 1 || spec->channels > kMostChannels) return TONESCAN_ECHANNEL;
    if (spec->guard_ms < 0 || spec->guard_ms > kMostGuardMs) return TONESCAN_EARG;
    if (spec->fill != TONESCAN_FILL_SILENCE && spec->fill != TONESCAN_FILL_NOISE) return TONESCAN_EARG;
    return TONESCAN_OK;
}

template <typename Sample>
int FeedAny(tonescan_redactor* redactor, const Sample* in, size_t count, Sample* out, size_t* written) {
    if (written != nullptr) *written = 0;
    if (redactor == nullptr || written == nullptr) return TONESCAN_EARG;
    return tonescan::Guarded([&] { return redactor->Feed(in, count, out, written); });
}

}

extern "C" {

tonescan_redactor* tonescan_redactor_create(const tonescan_redact_spec* spec, int* error) {
    int result = Check(spec);
    tonescan_redactor* redactor = nullptr;
    if (result == TONESCAN_OK) {
        redactor = new (std::nothrow) tonescan_redactor;
        result = TONESCAN_ENOMEM;
    }
    if (redactor != nullptr) {
        result = tonescan::Guarded([&] {
            redactor->spec = *spec;
            redactor->spec.size = sizeof(tonescan_redact_spec);
            tonescan_spec listen = TONESCAN_SPEC_INIT(spec->rate, spec->channels);
            listen.queue = kDetectorQueue;
            int made = TONESCAN_OK;
            redactor->detector.reset(tonescan_detector_create(&listen, &made));
            if (made != TONESCAN_OK) return made;
            TrackerOf(*redactor->detector).FollowRuns();
            redactor->channels = static_cast<std::size_t>(spec->channels);
            redactor->piece = static_cast<std::size_t>(std::max(1, spec->rate / 50));
            redactor->guard = CeilFrames(spec->rate, spec->guard_ms);
            redactor->fade = std::max<int64_t>(1, CeilFrames(spec->rate, kFadeMs));
            redactor->carry = CeilFrames(spec->rate, kCarryMs);
            redactor->delay = CeilFrames(spec->rate, spec->guard_ms + kDecisionMs);
            redactor->capacity = static_cast<std::size_t>(redactor->delay) + redactor->piece;
            redactor->level_keep = std::exp(-1.0 / (kLevelSeconds * spec->rate));
            redactor->presses.resize(kRoom);
            redactor->marks.reserve(kRoom);
            redactor->merged.reserve(kRoom + 1);
            redactor->spans.reserve(kRoom);
            return TONESCAN_OK;
        });
        if (result != TONESCAN_OK) {
            delete redactor;
            redactor = nullptr;
        }
    }
    if (error != nullptr) *error = result;
    return redactor;
}

int64_t tonescan_redactor_delay(const tonescan_redactor* redactor) { return redactor == nullptr ? 0 : redactor->delay; }

int tonescan_redactor_feed_i16(tonescan_redactor* redactor, const int16_t* in, size_t count, int16_t* out,
                               size_t* written) {
    return FeedAny(redactor, in, count, out, written);
}

int tonescan_redactor_feed_f32(tonescan_redactor* redactor, const float* in, size_t count, float* out,
                               size_t* written) {
    return FeedAny(redactor, in, count, out, written);
}

int tonescan_redactor_finish(tonescan_redactor* redactor) {
    if (redactor == nullptr) return TONESCAN_EARG;
    return tonescan::Guarded([&] { return redactor->Finish(); });
}

size_t tonescan_redactor_take(tonescan_redactor* redactor, tonescan_span* spans, size_t max) {
    if (redactor == nullptr || spans == nullptr) return 0;
    const std::size_t n = std::min(max, redactor->spans.size());
    std::copy_n(redactor->spans.begin(), n, spans);
    redactor->spans.erase(redactor->spans.begin(), redactor->spans.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void tonescan_redactor_destroy(tonescan_redactor* redactor) { delete redactor; }

}
