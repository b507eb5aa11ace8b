#include "frames.h"

#include <cstring>
#include <string>

namespace py = pybind11;

namespace tonescan_py {
namespace {

template <typename T>
T Load(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Left-aligned 32-bit PCM to float: 2^31 is full scale, as soundfile reads it.
constexpr float kInt32Scale = 1.0f / 2147483648.0f;

template <typename Out, typename Convert>
void GatherAs(const Frames& frames, std::size_t first, std::size_t count, Out* out, Convert convert) {
    for (std::size_t frame = 0; frame < count; ++frame) {
        const char* row = frames.data + static_cast<std::ptrdiff_t>(first + frame) * frames.frame_stride;
        for (std::size_t channel = 0; channel < frames.channels; ++channel) {
            *out++ = convert(row + static_cast<std::ptrdiff_t>(channel) * frames.channel_stride);
        }
    }
}

}

Frames Frames::Of(const py::handle& object, const char* name, bool allow_int32) {
    if (!py::isinstance<py::array>(object)) {
        throw py::value_error(std::string(name) + " must be a numpy array, not " +
                              std::string(py::str(py::type::handle_of(object).attr("__name__"))));
    }
    Frames frames;
    frames.array = py::reinterpret_borrow<py::array>(object);
    const py::dtype dtype = frames.array.dtype();
    if (dtype.equal(py::dtype::of<int16_t>())) {
        frames.sample = Sample::kInt16;
    } else if (dtype.equal(py::dtype::of<float>())) {
        frames.sample = Sample::kFloat32;
    } else if (dtype.equal(py::dtype::of<double>())) {
        frames.sample = Sample::kFloat64;
    } else if (allow_int32 && dtype.equal(py::dtype::of<int32_t>())) {
        frames.sample = Sample::kInt32;
    } else {
        throw py::value_error(std::string(name) + " must be int16, float32 or float64 in the machine's byte order, not " +
                              py::str(static_cast<const py::handle&>(dtype)).cast<std::string>());
    }
    const py::ssize_t ndim = frames.array.ndim();
    if (ndim != 1 && ndim != 2) {
        throw py::value_error(std::string(name) + " must be shaped (frames,) or (frames, channels), not " +
                              std::to_string(ndim) + "-dimensional");
    }
    frames.frames = static_cast<std::size_t>(frames.array.shape(0));
    frames.frame_stride = frames.array.strides(0);
    if (ndim == 2) {
        frames.channels = static_cast<std::size_t>(frames.array.shape(1));
        frames.channel_stride = frames.array.strides(1);
        if (frames.channels == 0) throw py::value_error(std::string(name) + " has no channels");
    }
    frames.data = static_cast<const char*>(frames.array.data());
    const auto size = static_cast<py::ssize_t>(frames.array.itemsize());
    frames.contiguous = (frames.frames <= 1 || frames.frame_stride == size * static_cast<py::ssize_t>(frames.channels)) &&
                        (frames.channels <= 1 || frames.channel_stride == size);
    return frames;
}

void Gather(const Frames& frames, std::size_t first, std::size_t count, int16_t* out) {
    GatherAs(frames, first, count, out, [](const char* at) { return Load<int16_t>(at); });
}

void Gather(const Frames& frames, std::size_t first, std::size_t count, float* out) {
    switch (frames.sample) {
        case Sample::kFloat32:
            GatherAs(frames, first, count, out, [](const char* at) { return Load<float>(at); });
            break;
        case Sample::kFloat64:
            GatherAs(frames, first, count, out, [](const char* at) { return static_cast<float>(Load<double>(at)); });
            break;
        case Sample::kInt32:
            GatherAs(frames, first, count, out,
                     [](const char* at) { return static_cast<float>(Load<int32_t>(at)) * kInt32Scale; });
            break;
        case Sample::kInt16:
            GatherAs(frames, first, count, out,
                     [](const char* at) { return static_cast<float>(Load<int16_t>(at)) * (1.0f / 32768.0f); });
            break;
    }
}

}
