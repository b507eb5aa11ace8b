// The RIFF (or RIFX) WAVE container: where its audio lies, how long its
// header says the audio is, and how it is encoded when libsndfile can read
// it as headerless data. The chunks are walked once, from the file's own
// bytes or a stream's head.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace tonescan {

// WAV data lengths from here on are placeholders of recorders that could not
// go back to write the length, not promises.
inline constexpr uint32_t kPlaceholderLength = 0x7FFF0000;

// Where a RIFF (or big-endian RIFX) WAVE file keeps its audio, and how the
// audio is encoded when libsndfile could read it as headerless data.
struct WavLayout {
    bool big_endian = false;
    uint64_t length_at = 0;  // the data chunk's length field
    uint64_t data_at = 0;
    uint32_t promised = 0;
    std::optional<SF_INFO> raw;
};

// The bytes at an offset; false past the end.
using ReadAt = std::function<bool(uint64_t at, unsigned char* out, std::size_t n)>;

// Walks the chunks up to "data"; nothing when the input is not a WAVE file
// or ends before its data chunk. Each step moves forward, so any number of
// chunks ends.
std::optional<WavLayout> FindWavData(const ReadAt& read);

}
