// The push API: frames in, presses out, for a stream the caller feeds.
#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "guarded.h"
#include "listener.h"
#include "mix.h"
#include "press_time.h"
#include "rate_converter.h"
#include "tonescan.h"
#include "tracker_access.h"

namespace tonescan {
namespace {

// Frames are converted 20 ms at a time, so that each piece ends at most one
// press and the queue can be checked between pieces.
constexpr int kPiecesPerSecond = 50;
// Room kept free in the queue before each piece: the presses that one
// piece, and the end of a stream, can finish at most.
constexpr std::size_t kPieceRoom = 8;
constexpr int32_t kDefaultQueue = 64;
constexpr int32_t kLeastQueue = 16;
constexpr int32_t kMostQueue = 65536;
constexpr int32_t kMostChannels = 1024;

}
}

using namespace tonescan;

struct tonescan_detector {
    tonescan_spec spec{};
    std::size_t piece = 0;
    RateConverter::Sink sink;
    std::unique_ptr<Listener> listener;
    // A stream is fed one sample type: 16-bit frames of one or two channels
    // are mixed and converted as integers, everything else as floats, as
    // the file side does. The first feed chooses.
    std::unique_ptr<RateConverter> integer_converter;
    std::unique_ptr<RateConverter> float_converter;
    enum class Fed { kNothing, kIntegers, kFloats } fed = Fed::kNothing;
    Buffer<int32_t> sums;
    std::vector<float> mono;
    std::vector<float> interleaved;
    std::vector<tonescan_press> queue;
    std::size_t head = 0;
    std::size_t held = 0;
    bool ended = false;

    int Start() {
        listener = std::make_unique<Listener>(spec.detector, 2 * piece * static_cast<std::size_t>(kTrackerRate) /
                                                                     static_cast<std::size_t>(spec.rate) + 64);
        integer_converter = std::make_unique<RateConverter>(sink);
        float_converter = std::make_unique<RateConverter>(sink);
        if (!integer_converter->Open(spec.rate, listener->Rate(), Integers()).empty() ||
            !float_converter->Open(spec.rate, listener->Rate(), false).empty()) {
            return TONESCAN_EINTERNAL;
        }
        fed = Fed::kNothing;
        head = 0;
        held = 0;
        ended = false;
        return TONESCAN_OK;
    }

    // The integer mixing reads little-endian bytes, as files hold them; a
    // big-endian host's samples go the float way.
    bool Integers() const { return MixesAsIntegers(spec.channels) && std::endian::native == std::endian::little; }
    int Summed() const { return spec.channel > 0 ? 1 : spec.channels; }

    // Moves what the listener found into the queue, as far as it has room.
    void Queue() {
        const std::span<const FoundPress> found = listener->Found();
        const std::size_t n = std::min(found.size(), queue.size() - held);
        for (std::size_t i = 0; i < n; ++i) {
            queue[(head + held) % queue.size()] = PressAtRate(found[i], spec.rate);
            ++held;
        }
        listener->Drop(n);
    }

    bool Room() const { return queue.size() - held >= kPieceRoom + listener->Found().size(); }

    template <typename Sample>
    int Feed(const Sample* frames, std::size_t count, std::size_t* consumed) {
        std::size_t done = 0;
        int result = TONESCAN_OK;
        const Fed type = std::is_same_v<Sample, int16_t> ? Fed::kIntegers : Fed::kFloats;
        if (ended) {
            result = TONESCAN_EENDED;
        } else if ((frames == nullptr && count > 0) || (fed != Fed::kNothing && fed != type)) {
            result = TONESCAN_EARG;
        } else if (count > 0) {
            fed = type;
        }
        const auto channels = static_cast<std::size_t>(spec.channels);
        while (result == TONESCAN_OK && done < count) {
            if (!Room()) {
                result = TONESCAN_EFULL;
                break;
            }
            const std::size_t n = std::min(piece, count - done);
            if (!Convert(frames + done * channels, n)) result = TONESCAN_EINTERNAL;
            Queue();
            done += n;
        }
        // The block analysis gathers blocks to analyse many at once; what a
        // call has fed is analysed before it returns.
        listener->CaughtUp();
        Queue();
        if (consumed != nullptr) *consumed = done;
        return result;
    }

    bool Convert(const int16_t* frames, std::size_t n) {
        const auto channels = static_cast<std::size_t>(spec.channels);
        // What needs neither mixing nor conversion goes to the detector as
        // it is, the same samples the file scan's pass-through gives it.
        if (channels == 1 && spec.rate == listener->Rate()) {
            listener->Feed({frames, n});
            return true;
        }
        if (Integers()) {
            MixShorts(reinterpret_cast<const unsigned char*>(frames), n, channels, spec.channel, sums);
            return integer_converter->PushSums(sums, Summed()).empty();
        }
        // As a file's decoder gives them: full scale 1.0.
        std::transform(frames, frames + n * channels, interleaved.begin(),
                       [](int16_t sample) { return static_cast<float>(sample) / 32768.0f; });
        return Convert(interleaved.data(), n);
    }

    bool Convert(const float* frames, std::size_t n) {
        MixFloats(frames, n, static_cast<std::size_t>(spec.channels), spec.channel, mono.data());
        return float_converter->Push({mono.data(), n}).empty();
    }

    // What the end finds waits in the listener until the queue has room.
    int Finish() {
        if (!ended) {
            ended = true;
            const bool integers = fed == Fed::kIntegers && Integers();
            RateConverter& converter = integers ? *integer_converter : *float_converter;
            if (!converter.Flush(integers ? Summed() : 1).empty()) return TONESCAN_EINTERNAL;
            listener->Finish();
        }
        Queue();
        return listener->Found().empty() ? TONESCAN_OK : TONESCAN_EFULL;
    }
};

namespace {

int Check(const tonescan_spec* spec) {
    if (spec == nullptr || spec->size < sizeof(tonescan_spec)) return TONESCAN_EARG;
    if (spec->rate < 4000 || spec->rate > 192000) return TONESCAN_ERATE;
    if (spec->channels < 1 || spec->channels > kMostChannels || spec->channel < 0 || spec->channel > spec->channels) {
        return TONESCAN_ECHANNEL;
    }
    if (spec->detector != TONESCAN_RECORDING && spec->detector != TONESCAN_BLOCKS) return TONESCAN_EARG;
    if (spec->queue != 0 && (spec->queue < kLeastQueue || spec->queue > kMostQueue)) return TONESCAN_EARG;
    return TONESCAN_OK;
}

}

extern "C" {

tonescan_detector* tonescan_detector_create(const tonescan_spec* spec, int* error) {
    int result = Check(spec);
    tonescan_detector* detector = nullptr;
    if (result == TONESCAN_OK) {
        detector = new (std::nothrow) tonescan_detector;
        result = TONESCAN_ENOMEM;
    }
    if (detector != nullptr) {
        result = tonescan::Guarded([&] {
            detector->spec = *spec;
            detector->spec.size = sizeof(tonescan_spec);
            detector->piece = static_cast<std::size_t>(std::max(1, spec->rate / kPiecesPerSecond));
            detector->sink = [detector](std::span<const int16_t> samples) { detector->listener->Feed(samples); };
            detector->queue.resize(static_cast<std::size_t>(spec->queue == 0 ? kDefaultQueue : spec->queue));
            detector->mono.resize(detector->piece);
            if (!MixesAsIntegers(spec->channels)) {
                detector->interleaved.resize(detector->piece * static_cast<std::size_t>(spec->channels));
            }
            detector->sums.reserve(detector->piece);
            return detector->Start();
        });
        if (result != TONESCAN_OK) {
            delete detector;
            detector = nullptr;
        }
    }
    if (error != nullptr) *error = result;
    return detector;
}

int tonescan_detector_feed_i16(tonescan_detector* detector, const int16_t* frames, size_t count, size_t* consumed) {
    if (detector == nullptr) {
        if (consumed != nullptr) *consumed = 0;
        return TONESCAN_EARG;
    }
    return tonescan::Guarded([&] { return detector->Feed(frames, count, consumed); });
}

int tonescan_detector_feed_f32(tonescan_detector* detector, const float* frames, size_t count, size_t* consumed) {
    if (detector == nullptr) {
        if (consumed != nullptr) *consumed = 0;
        return TONESCAN_EARG;
    }
    return tonescan::Guarded([&] { return detector->Feed(frames, count, consumed); });
}

int tonescan_detector_finish(tonescan_detector* detector) {
    if (detector == nullptr) return TONESCAN_EARG;
    return tonescan::Guarded([&] { return detector->Finish(); });
}

size_t tonescan_detector_take(tonescan_detector* detector, tonescan_press* presses, size_t max) {
    if (detector == nullptr || presses == nullptr) return 0;
    const std::size_t n = std::min(max, detector->held);
    for (std::size_t i = 0; i < n; ++i) {
        presses[i] = detector->queue[detector->head];
        detector->head = (detector->head + 1) % detector->queue.size();
    }
    detector->held -= n;
    return n;
}

int tonescan_detector_reset(tonescan_detector* detector) {
    if (detector == nullptr) return TONESCAN_EARG;
    return tonescan::Guarded([&] { return detector->Start(); });
}

void tonescan_detector_destroy(tonescan_detector* detector) { delete detector; }

}

tonescan::PressTracker& tonescan::TrackerOf(tonescan_detector& detector) { return detector.listener->Tracker(); }
