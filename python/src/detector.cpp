// tonescan.Detector: a push detector fed numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "bindings.h"
#include "frames.h"

namespace py = pybind11;

namespace tonescan_py {
namespace {

// Pieces gathered from arrays that are not fed as they lie: big enough that
// a call costs nothing next to the analysis, small enough to stay in cache.
constexpr std::size_t kPieceFrames = 16384;

// Room for presses between takes: a full queue only makes the feed loop once
// more, but every loop is a call.
constexpr int32_t kQueue = 1024;

struct DetectorDeleter {
    void operator()(tonescan_detector* detector) const { tonescan_detector_destroy(detector); }
};

class Detector {
public:
    Detector(int rate, int channels, const py::object& channel, const std::string& detector) : channels_(channels) {
        tonescan_spec settings = TONESCAN_SPEC_INIT(rate, channels);
        settings.channel = ChannelOf(channel);
        settings.detector = DetectorNamed(detector);
        settings.queue = kQueue;
        if (channels < 1) throw py::value_error("channels must be at least 1, not " + std::to_string(channels));
        if (settings.channel > channels) {
            throw py::value_error("no channel " + std::to_string(settings.channel) + " in " + std::to_string(channels));
        }
        int error = TONESCAN_OK;
        detector_.reset(tonescan_detector_create(&settings, &error));
        if (!detector_) ThrowResult(error, "rate " + std::to_string(rate) + ", " + std::to_string(channels) + " channels");
    }

    py::list Feed(const py::handle& array) {
        const Frames frames = Frames::Of(array, "array");
        if (frames.array.ndim() == 2 ? frames.channels != static_cast<std::size_t>(channels_) : channels_ != 1) {
            throw py::value_error("the detector takes " + std::to_string(channels_) + " channels, the array is shaped " +
                                  Shape(frames.array));
        }
        std::vector<tonescan_press> presses;
        {
            py::gil_scoped_release released;
            const std::lock_guard<std::mutex> lock(mutex_);
            const bool int16 = FedAsInt16(frames.sample);
            if (fed_ && *fed_ != int16) {
                throw py::value_error(std::string("the stream was fed ") + (*fed_ ? "int16" : "float") +
                                      " samples: feed it one kind, or reset() it");
            }
            fed_ = int16;
            if (int16) {
                FeedAll<int16_t>(frames, presses);
            } else {
                FeedAll<float>(frames, presses);
            }
        }
        return PressList(presses);
    }

    py::list Flush() {
        std::vector<tonescan_press> presses;
        {
            py::gil_scoped_release released;
            const std::lock_guard<std::mutex> lock(mutex_);
            int result;
            while ((result = tonescan_detector_finish(detector_.get())) == TONESCAN_EFULL) Take(presses);
            if (result != TONESCAN_OK) ThrowResult(result, "flush");
            Take(presses);
        }
        return PressList(presses);
    }

    void Reset() {
        py::gil_scoped_release released;
        const std::lock_guard<std::mutex> lock(mutex_);
        const int result = tonescan_detector_reset(detector_.get());
        if (result != TONESCAN_OK) ThrowResult(result, "reset");
        fed_.reset();
    }

private:
    static std::string Shape(const py::array& array) {
        std::string shape = "(";
        for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
            shape += std::to_string(array.shape(axis)) + (array.ndim() == 1 ? "," : axis + 1 < array.ndim() ? ", " : "");
        }
        return shape + ")";
    }

    void Take(std::vector<tonescan_press>& presses) {
        tonescan_press taken[64];
        std::size_t count;
        while ((count = tonescan_detector_take(detector_.get(), taken, 64)) > 0) {
            presses.insert(presses.end(), taken, taken + count);
        }
    }

    static int FeedRaw(tonescan_detector* detector, const int16_t* frames, std::size_t count, std::size_t* consumed) {
        return tonescan_detector_feed_i16(detector, frames, count, consumed);
    }
    static int FeedRaw(tonescan_detector* detector, const float* frames, std::size_t count, std::size_t* consumed) {
        return tonescan_detector_feed_f32(detector, frames, count, consumed);
    }

    // Feeds `count` interleaved frames whole: a full queue is emptied into
    // `presses` and the rest fed.
    template <typename T>
    void FeedPiece(const T* data, std::size_t count, std::vector<tonescan_press>& presses) {
        for (;;) {
            std::size_t consumed = 0;
            const int result = FeedRaw(detector_.get(), data, count, &consumed);
            Take(presses);
            if (result == TONESCAN_OK) return;
            if (result != TONESCAN_EFULL) ThrowResult(result, "feed");
            data += consumed * static_cast<std::size_t>(channels_);
            count -= consumed;
        }
    }

    template <typename T>
    void FeedAll(const Frames& frames, std::vector<tonescan_press>& presses) {
        const bool as_is = frames.contiguous && (std::is_same_v<T, int16_t> || frames.sample == Sample::kFloat32);
        if (as_is) {
            FeedPiece(reinterpret_cast<const T*>(frames.data), frames.frames, presses);
            return;
        }
        std::vector<T> piece(std::min(frames.frames, kPieceFrames) * frames.channels);
        for (std::size_t first = 0; first < frames.frames; first += kPieceFrames) {
            const std::size_t count = std::min(kPieceFrames, frames.frames - first);
            Gather(frames, first, count, piece.data());
            FeedPiece(piece.data(), count, presses);
        }
    }

    std::unique_ptr<tonescan_detector, DetectorDeleter> detector_;
    int channels_;
    std::optional<bool> fed_;  // whether the stream is fed int16, once fed
    std::mutex mutex_;         // one thread at a time per handle, as the library asks
};

}

void BindDetector(py::module_& module) {
    py::class_<Detector>(module, "Detector", R"doc(
A detector for one stream of audio pushed in pieces.

rate is in frames per second (4000-192000); channels is the number of
channels of each frame; channel is None for the average of all channels or
1..channels for one alone; detector is "recording" (the press tracker, for
recordings) or "library" (libtonewatch's block analysis).

>>> import numpy as np, tonescan
>>> detector = tonescan.Detector(8000)
>>> presses = detector.feed(np.zeros(8000, dtype=np.int16))
>>> presses + detector.flush()
[]
)doc")
        .def(py::init<int, int, const py::object&, const std::string&>(), py::arg("rate"), py::arg("channels") = 1,
             py::arg("channel") = py::none(), py::arg("detector") = "recording")
        .def("feed", &Detector::Feed, py::arg("array"), R"doc(
Feeds frames and returns the presses found so far, oldest first.

array is int16 (full scale 32768), float32 or float64 (full scale 1.0),
shaped (frames,) for one channel or (frames, channels); any strides. A
stream is fed one kind: int16, or floats.
)doc")
        .def("flush", &Detector::Flush, "Ends the stream and returns the presses still going, ended at the last frame.")
        .def("reset", &Detector::Reset, "Starts a new stream; presses not yet returned are dropped.");
}

}
