// Arrays of frames as the bindings read them: numpy arrays of int16, int32,
// float32 or float64, shaped (frames,) or (frames, channels), any strides.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tonescan_py {

enum class Sample { kInt16, kInt32, kFloat32, kFloat64 };

// What the library is fed: int16 as it is, everything else as float32.
inline bool FedAsInt16(Sample sample) { return sample == Sample::kInt16; }

// A view of an array's frames. The array stays referenced, so that the
// pointer stays valid while the GIL is released.
struct Frames {
    pybind11::array array;
    const char* data = nullptr;
    Sample sample = Sample::kInt16;
    std::size_t frames = 0;
    std::size_t channels = 1;
    std::ptrdiff_t frame_stride = 0;    // bytes
    std::ptrdiff_t channel_stride = 0;  // bytes
    bool contiguous = false;            // C order: interleaved frames as they lie

    // The sample type and shape, or ValueError; `name` is the argument's.
    // int32 is taken only where `allow_int32` (left-aligned PCM from
    // soundfile).
    static Frames Of(const pybind11::handle& object, const char* name, bool allow_int32 = false);
};

// Gathers frames [first, first + count) into `out` (count * channels),
// converted to the type the library is fed (int16 or float32).
void Gather(const Frames& frames, std::size_t first, std::size_t count, int16_t* out);
void Gather(const Frames& frames, std::size_t first, std::size_t count, float* out);

}
