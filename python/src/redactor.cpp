// tonescan.redact and the streaming redactor behind tonescan.redact_file.
//
// The library masks int16 or float32 frames. Other sample types (float64,
// left-aligned 32-bit PCM) go in as float32, and each sample that comes out
// as it went in is given back as the caller's own value, so that outside
// the spans the output is the input bit for bit in every type.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bindings.h"
#include "frames.h"

namespace py = pybind11;

namespace tonescan_py {
namespace {

constexpr std::size_t kPieceFrames = 16384;

struct RedactorDeleter {
    void operator()(tonescan_redactor* redactor) const { tonescan_redactor_destroy(redactor); }
};

int FillNamed(const std::string& fill) {
    if (fill == "silence") return TONESCAN_FILL_SILENCE;
    if (fill == "noise") return TONESCAN_FILL_NOISE;
    throw py::value_error("fill must be \"silence\" or \"noise\", not \"" + fill + "\"");
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A masked float32 sample as the caller's type: the original where the
// sample is unchanged.
template <typename T>
T Restore(float out, float fed, T original) {
    if (SameBits(out, fed)) return original;
    if constexpr (std::is_same_v<T, int32_t>) {
        const double scaled = std::nearbyint(static_cast<double>(out) * 2147483648.0);
        return static_cast<int32_t>(std::clamp(scaled, -2147483648.0, 2147483647.0));
    } else {
        return static_cast<T>(out);
    }
}

class Redactor {
public:
    Redactor(int rate, int channels, int guard_ms, const std::string& fill) : rate_(rate), channels_(channels) {
        if (guard_ms < 0 || guard_ms > 1000) {
            throw py::value_error("guard_ms must be 0-1000, not " + std::to_string(guard_ms));
        }
        tonescan_redact_spec settings = TONESCAN_REDACT_SPEC_INIT(rate, channels);
        settings.guard_ms = guard_ms;
        settings.fill = FillNamed(fill);
        int error = TONESCAN_OK;
        redactor_.reset(tonescan_redactor_create(&settings, &error));
        if (!redactor_) ThrowResult(error, "rate " + std::to_string(rate) + ", " + std::to_string(channels) + " channels");
    }

    int Channels() const { return channels_; }
    int Rate() const { return rate_; }

    // Feeds `frames` and writes what comes out at `out` (which has room for
    // as many frames, in the caller's sample type, interleaved). Returns the
    // frames written. Call without the GIL.
    std::size_t Feed(const Frames& frames, char* out) {
        const std::lock_guard<std::mutex> lock(mutex_);
        Check(frames);
        std::size_t written = 0;
        for (std::size_t first = 0; first < frames.frames; first += kPieceFrames) {
            const std::size_t count = std::min(kPieceFrames, frames.frames - first);
            written += FeedPiece(&frames, first, count, out + written * FrameBytes());
        }
        return written;
    }

    // Ends the input and writes the frames still held at `out`, which has
    // room for Held() frames. Call without the GIL.
    std::size_t Finish(char* out) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const int result = tonescan_redactor_finish(redactor_.get());
        if (result != TONESCAN_OK) ThrowResult(result, "finish");
        std::size_t written = 0;
        for (;;) {
            const std::size_t count = FeedPiece(nullptr, 0, kPieceFrames, out + written * FrameBytes());
            if (count == 0) return written;
            written += count;
        }
    }

    // Frames fed and not yet out: at most the delay.
    std::size_t Held() const { return static_cast<std::size_t>(fed_ - out_); }

    Sample SampleType() const { return sample_; }

    std::vector<tonescan_span> Take() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return TakeLocked();
    }

    // The sample type the stream is fed, fixed by its first feed.
    void Choose(Sample sample) {
        if (fed_ > 0 && sample != sample_) {
            throw py::value_error("the redactor was fed another sample type: feed one type per stream");
        }
        sample_ = sample;
    }

    std::size_t FrameBytes() const { return SampleBytes(sample_) * static_cast<std::size_t>(channels_); }

    static std::size_t SampleBytes(Sample sample) {
        switch (sample) {
            case Sample::kInt16: return 2;
            case Sample::kInt32:
            case Sample::kFloat32: return 4;
            case Sample::kFloat64: return 8;
        }
        return 0;
    }

private:
    void Check(const Frames& frames) const {
        if (frames.channels != static_cast<std::size_t>(channels_)) {
            throw py::value_error("the redactor takes " + std::to_string(channels_) + " channels, not " +
                                  std::to_string(frames.channels));
        }
    }

    std::vector<tonescan_span> TakeLocked() {
        std::vector<tonescan_span> spans;
        tonescan_span taken[64];
        std::size_t count;
        while ((count = tonescan_redactor_take(redactor_.get(), taken, 64)) > 0) {
            spans.insert(spans.end(), taken, taken + count);
        }
        return spans;
    }

    // One call of the library: `count` frames of `frames` from `first` in,
    // or after the finish (frames NULL) up to `count` held frames out.
    std::size_t FeedPiece(const Frames* frames, std::size_t first, std::size_t count, char* out) {
        const std::size_t samples = count * static_cast<std::size_t>(channels_);
        std::size_t written = 0;
        int result;
        // Frames of the library's own type that lie interleaved are fed where
        // they are.
        const bool as_is = frames != nullptr && frames->contiguous &&
                           (sample_ == Sample::kInt16 || sample_ == Sample::kFloat32);
        const char* at = as_is ? frames->data + static_cast<std::ptrdiff_t>(first) * frames->frame_stride : nullptr;
        if (sample_ == Sample::kInt16) {
            if (frames != nullptr && !as_is) {
                in16_.resize(samples);
                Gather(*frames, first, count, in16_.data());
                at = reinterpret_cast<const char*>(in16_.data());
            }
            result = tonescan_redactor_feed_i16(redactor_.get(), reinterpret_cast<const int16_t*>(at), count,
                                                reinterpret_cast<int16_t*>(out), &written);
        } else {
            if (frames != nullptr && !as_is) {
                in32_.resize(samples);
                Gather(*frames, first, count, in32_.data());
                at = reinterpret_cast<const char*>(in32_.data());
                // What is fed, kept until it comes out: the originals are
                // compared as float32 and given back as they were.
                if (sample_ != Sample::kFloat32) Keep(*frames, first, count, samples);
            }
            out32_.resize(samples);
            result = tonescan_redactor_feed_f32(redactor_.get(), reinterpret_cast<const float*>(at), count,
                                                sample_ == Sample::kFloat32 ? reinterpret_cast<float*>(out) : out32_.data(),
                                                &written);
            if (result == TONESCAN_OK && sample_ != Sample::kFloat32) Release(written, out);
        }
        if (result != TONESCAN_OK) ThrowResult(result, "redact");
        if (frames != nullptr) fed_ += static_cast<int64_t>(count);
        out_ += static_cast<int64_t>(written);
        return written;
    }

    // The originals of frames fed as float32 whose output is still due.
    void Keep(const Frames& frames, std::size_t first, std::size_t count, std::size_t samples) {
        const std::size_t bytes = SampleBytes(sample_);
        for (std::size_t frame = 0; frame < count; ++frame) {
            const char* row = frames.data + static_cast<std::ptrdiff_t>(first + frame) * frames.frame_stride;
            for (std::size_t channel = 0; channel < frames.channels; ++channel) {
                const char* at = row + static_cast<std::ptrdiff_t>(channel) * frames.channel_stride;
                kept_.insert(kept_.end(), at, at + bytes);
            }
        }
        kept_fed_.insert(kept_fed_.end(), in32_.begin(), in32_.begin() + static_cast<std::ptrdiff_t>(samples));
    }

    void Release(std::size_t written, char* out) {
        const std::size_t samples = written * static_cast<std::size_t>(channels_);
        if (sample_ == Sample::kFloat64) {
            RestoreAs<double>(samples, out);
        } else {
            RestoreAs<int32_t>(samples, out);
        }
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(samples * SampleBytes(sample_)));
        kept_fed_.erase(kept_fed_.begin(), kept_fed_.begin() + static_cast<std::ptrdiff_t>(samples));
    }

    template <typename T>
    void RestoreAs(std::size_t samples, char* out) {
        for (std::size_t i = 0; i < samples; ++i) {
            T original;
            std::memcpy(&original, kept_.data() + i * sizeof(T), sizeof(T));
            const T value = Restore(out32_[i], kept_fed_[i], original);
            std::memcpy(out + i * sizeof(T), &value, sizeof(T));
        }
    }

    std::unique_ptr<tonescan_redactor, RedactorDeleter> redactor_;
    int rate_;
    int channels_;
    Sample sample_ = Sample::kInt16;
    int64_t fed_ = 0;
    int64_t out_ = 0;
    std::vector<int16_t> in16_;
    std::vector<float> in32_;
    std::vector<float> out32_;
    std::vector<char> kept_;       // originals not yet out, in the caller's type
    std::vector<float> kept_fed_;  // the same as fed
    std::mutex mutex_;
};

py::dtype DtypeOf(Sample sample) {
    switch (sample) {
        case Sample::kInt16: return py::dtype::of<int16_t>();
        case Sample::kInt32: return py::dtype::of<int32_t>();
        case Sample::kFloat32: return py::dtype::of<float>();
        case Sample::kFloat64: return py::dtype::of<double>();
    }
    return py::dtype::of<float>();
}

py::array Output(Sample sample, std::size_t frames, int channels) {
    return py::array(DtypeOf(sample), std::vector<py::ssize_t>{static_cast<py::ssize_t>(frames), channels});
}

// The frames of an array the redactor takes: 1-D for one channel.
Frames RedactorInput(Redactor& redactor, const py::handle& array) {
    Frames frames = Frames::Of(array, "array", true);
    if (frames.array.ndim() == 1 && redactor.Channels() != 1) {
        throw py::value_error("the redactor takes " + std::to_string(redactor.Channels()) +
                              " channels: pass an array shaped (frames, channels)");
    }
    redactor.Choose(frames.sample);
    return frames;
}

py::array Shrunk(const py::array& out, std::size_t written) {
    return out[py::slice(0, static_cast<py::ssize_t>(written), 1)];
}

py::tuple Redact(const py::handle& array, int rate, int guard_ms, const std::string& fill) {
    Frames frames = Frames::Of(array, "array");
    Redactor redactor(rate, static_cast<int>(frames.channels), guard_ms, fill);
    redactor.Choose(frames.sample);
    py::array out = Output(frames.sample, frames.frames, static_cast<int>(frames.channels));
    char* data = static_cast<char*>(out.mutable_data());
    {
        py::gil_scoped_release released;
        const std::size_t written = redactor.Feed(frames, data);
        redactor.Finish(data + written * redactor.FrameBytes());
    }
    if (frames.array.ndim() == 1) out = out.reshape({static_cast<py::ssize_t>(frames.frames)});
    return py::make_tuple(out, SpanList(redactor.Take(), rate));
}

}

void BindRedactor(py::module_& module) {
    module.def("redact", &Redact, py::arg("array"), py::arg("rate"), py::kw_only(), py::arg("guard_ms") = 20,
               py::arg("fill") = "silence", "Masks the key tones of an array; see tonescan.redact.");

    py::class_<Redactor>(module, "_Redactor", "A redactor for one stream, fed in pieces (tonescan.redact_file).")
        .def(py::init<int, int, int, const std::string&>(), py::arg("rate"), py::arg("channels"),
             py::arg("guard_ms") = 20, py::arg("fill") = "silence")
        .def(
            "feed",
            [](Redactor& self, const py::handle& array) {
                const Frames frames = RedactorInput(self, array);
                py::array out = Output(frames.sample, frames.frames, self.Channels());
                char* data = static_cast<char*>(out.mutable_data());
                std::size_t written;
                {
                    py::gil_scoped_release released;
                    written = self.Feed(frames, data);
                }
                return Shrunk(out, written);
            },
            py::arg("array"), "Feeds frames; returns the masked frames that are due, shaped (frames, channels).")
        .def(
            "finish",
            [](Redactor& self) {
                py::array out = Output(self.SampleType(), self.Held(), self.Channels());
                char* data = static_cast<char*>(out.mutable_data());
                std::size_t written;
                {
                    py::gil_scoped_release released;
                    written = self.Finish(data);
                }
                return Shrunk(out, written);
            },
            "Ends the input; returns the frames still held.")
        .def(
            "take", [](Redactor& self) { return SpanList(self.Take(), self.Rate()); },
            "The spans masked so far that are whole, oldest first.");
}

}
