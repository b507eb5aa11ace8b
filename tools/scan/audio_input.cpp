#include "audio_input.h"
#include "filters.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <FLAC/stream_decoder.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace dtmfscan {
namespace {

// The decoded floats of one read, whatever the channel count: a file that
// claims 1024 channels must not make every job allocate hundreds of MB.
constexpr std::size_t kReadBytes = std::size_t{1} << 18;
// Frames per read of a file; a stream is read one block (62.5 ms) at a time.
constexpr sf_count_t kFileReadFrames = 1 << 15;
constexpr int kStreamReadsPerSecond = 16;
// How far into a stream the data chunk of a WAV header is looked for.
constexpr std::size_t kStreamHeadLimit = std::size_t{1} << 20;
// WAV data lengths from here on are placeholders of recorders that could not
// go back to write the length, not promises.
constexpr uint32_t kPlaceholderLength = 0x7FFF0000;

// libsndfile keeps the reason for a failed open in one process-wide slot, so
// parallel jobs must not interleave an open with the reading of that reason.
std::mutex open_mutex;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using SoxrPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

std::string ErrnoText() { return std::strerror(errno); }

struct Descriptor {
    int fd = -1;
    bool owned = false;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (owned) close(fd);
    }
};

// Reads exactly `n` bytes at `offset` unless the file ends first; returns the
// number read, or -1 with errno set.
ssize_t ReadFully(int fd, void* out, std::size_t n, off_t offset) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(fd, static_cast<char*>(out) + done, n - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// A regular file, or a stream read whole into memory, as libsndfile's
// virtual I/O sees it; four bytes of it may be replaced (a WAV data length).
struct Source {
    int fd = -1;
    off_t base = 0;
    std::vector<unsigned char> memory;
    sf_count_t length = 0;
    sf_count_t position = 0;
    sf_count_t patch_at = -1;
    std::array<unsigned char, 4> patch{};
    int read_error = 0;

    bool ReadAt(uint64_t offset, unsigned char* out, std::size_t n) {
        if (offset > static_cast<uint64_t>(length) || n > static_cast<uint64_t>(length) - offset) return false;
        const auto at = static_cast<sf_count_t>(offset);
        if (fd < 0) {
            std::memcpy(out, memory.data() + at, n);
        } else {
            const ssize_t got = ReadFully(fd, out, n, base + at);
            if (got < 0) read_error = errno;
            if (got != static_cast<ssize_t>(n)) return false;
        }
        for (std::size_t i = 0; patch_at >= 0 && i < patch.size(); ++i) {
            const sf_count_t byte = patch_at + static_cast<sf_count_t>(i);
            if (byte >= at && byte < at + static_cast<sf_count_t>(n)) out[byte - at] = patch[i];
        }
        return true;
    }
};

Source& SourceOf(void* user) { return *static_cast<Source*>(user); }

sf_count_t SourceLength(void* user) { return SourceOf(user).length; }

sf_count_t SourceSeek(sf_count_t offset, int whence, void* user) {
    Source& source = SourceOf(user);
    const sf_count_t origin = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? source.position : source.length;
    if (offset > source.length || offset < -source.length) return -1;
    const sf_count_t target = origin + offset;
    if (target < 0 || target > source.length) return -1;
    source.position = target;
    return target;
}

sf_count_t SourceRead(void* destination, sf_count_t count, void* user) {
    Source& source = SourceOf(user);
    const sf_count_t n = std::clamp<sf_count_t>(source.length - source.position, 0, count);
    if (n == 0 || !source.ReadAt(static_cast<uint64_t>(source.position), static_cast<unsigned char*>(destination),
                                 static_cast<std::size_t>(n))) {
        return 0;
    }
    source.position += n;
    return n;
}

sf_count_t SourceWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t SourceTell(void* user) { return SourceOf(user).position; }

uint32_t Word32(const unsigned char* p, bool big_endian) {
    return big_endian ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                      : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

uint16_t Word16(const unsigned char* p, bool big_endian) {
    return static_cast<uint16_t>(big_endian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

// Where a RIFF (or big-endian RIFX) WAVE file keeps its audio, and how the
// audio is encoded when libsndfile could read it as headerless data.
struct WavLayout {
    bool big_endian = false;
    uint64_t length_at = 0;  // the data chunk's length field
    uint64_t data_at = 0;
    uint32_t promised = 0;
    std::optional<SF_INFO> raw;
};

std::optional<SF_INFO> RawEquivalent(const unsigned char* fmt, uint32_t size, bool big_endian) {
    if (size < 16) return std::nullopt;
    uint16_t tag = Word16(fmt, big_endian);
    const uint16_t channels = Word16(fmt + 2, big_endian);
    const uint32_t rate = Word32(fmt + 4, big_endian);
    const uint16_t block_align = Word16(fmt + 12, big_endian);
    const uint16_t bits = Word16(fmt + 14, big_endian);
    if (tag == 0xFFFE && size >= 26) tag = Word16(fmt + 24, big_endian);  // the extensible format's subtype
    int encoding = 0;
    if (tag == 1 && bits == 8) encoding = SF_FORMAT_PCM_U8;
    if (tag == 1 && bits == 16) encoding = SF_FORMAT_PCM_16;
    if (tag == 1 && bits == 24) encoding = SF_FORMAT_PCM_24;
    if (tag == 1 && bits == 32) encoding = SF_FORMAT_PCM_32;
    if (tag == 3 && bits == 32) encoding = SF_FORMAT_FLOAT;
    if (tag == 3 && bits == 64) encoding = SF_FORMAT_DOUBLE;
    if (tag == 6 && bits == 8) encoding = SF_FORMAT_ALAW;
    if (tag == 7 && bits == 8) encoding = SF_FORMAT_ULAW;
    if (encoding == 0 || channels < 1 || rate < 1 || rate > INT32_MAX || block_align != channels * (bits / 8)) {
        return std::nullopt;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = channels;
    info.format = SF_FORMAT_RAW | encoding | (big_endian ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
    if (sf_format_check(&info) == 0) return std::nullopt;
    return info;
}

// Walks the chunks up to "data"; `read` gives the bytes at an offset, false
// past the end. Each step moves forward, so any number of chunks ends.
template <typename Read>
std::optional<WavLayout> FindWavData(Read&& read) {
    unsigned char head[12];
    if (!read(0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0) return std::nullopt;
    WavLayout layout;
    if (std::memcmp(head, "RIFX", 4) == 0) {
        layout.big_endian = true;
    } else if (std::memcmp(head, "RIFF", 4) != 0) {
        return std::nullopt;
    }
    std::optional<SF_INFO> raw;
    for (uint64_t at = sizeof head;;) {
        unsigned char chunk[8];
        if (!read(at, chunk, sizeof chunk)) return std::nullopt;
        const uint32_t size = Word32(chunk + 4, layout.big_endian);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !raw) {
            unsigned char fmt[26];
            const uint32_t wanted = std::min<uint32_t>(size, sizeof fmt);
            if (read(at + 8, fmt, wanted)) raw = RawEquivalent(fmt, wanted, layout.big_endian);
        }
        if (std::memcmp(chunk, "data", 4) == 0) {
            layout.length_at = at + 4;
            layout.data_at = at + 8;
            layout.promised = size;
            layout.raw = raw;
            return layout;
        }
        at += 8 + uint64_t{size} + (size & 1);
    }
}

// Runs `work` over chunks of floats on a thread of its own, in the order they
// are sent, a few chunks behind the sender at most. After an error from
// `work` the rest is dropped, and the error is returned to the sender.
class Handoff {
public:
    explicit Handoff(std::function<std::string(std::span<const float>)> work)
        : work_(std::move(work)), thread_([this] { Run(); }) {}
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    ~Handoff() { Finish(); }

    // Queues a copy of `values`, waiting while the queue is full.
    std::string Send(std::span<const float> values) {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [this] { return queue_.size() < kDepth || !error_.empty(); });
        if (!error_.empty()) return error_;
        std::vector<float> chunk;
        if (!spare_.empty()) {
            chunk = std::move(spare_.back());
            spare_.pop_back();
        }
        chunk.assign(values.begin(), values.end());
        queue_.push_back(std::move(chunk));
        ready_.notify_one();
        return {};
    }

    // Waits until every chunk sent has been worked on.
    std::string Finish() {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable()) thread_.join();
        return error_;
    }

private:
    static constexpr std::size_t kDepth = 4;

    void Run() {
        for (;;) {
            std::vector<float> chunk;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty() || ended_; });
                if (queue_.empty()) return;
                chunk = std::move(queue_.front());
                queue_.pop_front();
                if (!error_.empty()) continue;
            }
            std::string error = work_(chunk);
            {
                std::lock_guard lock(mutex_);
                if (error_.empty()) error_ = std::move(error);
                spare_.push_back(std::move(chunk));
            }
            space_.notify_one();
        }
    }

    std::function<std::string(std::span<const float>)> work_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable space_;
    std::deque<std::vector<float>> queue_;
    std::vector<std::vector<float>> spare_;
    bool ended_ = false;
    std::string error_;
    std::thread thread_;
};

// Mono at the input's rate in, 16-bit at the target rate out. 16-bit PCM of
// one or two channels comes as integer sums of the channels; other input as
// floats of full scale 1.0. For the block analysis at 4000/s, 8000/s integer
// input goes through the half-band decimator; other rates through filters
// that keep 0-1660 Hz and stop what would fold onto the keys (from 2340 Hz
// up; what lies between 2000 and 2340 Hz folds above the highest key): a
// first FIR step for integer rates from 16000/s, then the ratio decimator,
// or libsoxr for ratios it leaves. Other targets go through libsoxr's
// high-quality low-pass, so that tones above half the target rate are
// removed instead of folding onto the DTMF band.
class RateConverter {
public:
    explicit RateConverter(const std::function<void(std::span<const int16_t>)>& sink) : sink_(sink) {}

    // Whether each 4000/s output of 16-bit input at `rate` depends on the
    // input near it alone, by the same operations wherever the input starts
    // on a whole second: such input can be decoded in parts side by side.
    static bool ConvertsInParts(int rate) {
        if (rate == kScanRate || rate == 2 * kScanRate) return true;
        const std::size_t factor = FirstStepFactor(rate);
        const std::unique_ptr<RatioDecimator> ratio = RatioDecimator::Make(rate, factor);
        // A whole second must hold whole periods of the ratio.
        return ratio && rate % (static_cast<int64_t>(factor) * ratio->PeriodInputs()) == 0;
    }

    // `beside`: the last step, and the sink after it, run on a thread of
    // their own.
    std::string Open(int rate, int target_rate, bool integer_input, bool beside = false) {
        std::string error = OpenHere(rate, target_rate, integer_input);
        if (error.empty() && (resampler_ || ratio_) && beside) {
            handoff_ = std::make_unique<Handoff>([this](std::span<const float> mono) { return Convert(mono); });
        }
        return error;
    }

    std::string OpenHere(int rate, int target_rate, bool integer_input) {
        if (rate == target_rate) return {};
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        // Files are scanned in parallel already; one thread per resampler.
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        if (target_rate != kScanRate) {
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            resampler_.reset(soxr_create(rate, target_rate, 1, &error, &io, &quality, &runtime));
            if (error != nullptr) return std::string("cannot convert the sample rate: ") + error;
            return {};
        }
        if (rate == 2 * kScanRate && integer_input) {
            decimator_.emplace();
            return {};
        }
        std::size_t factor = 1;
        if (integer_input && FirstStepFactor(rate) > 1) {
            predecimator_.emplace(rate);
            factor = predecimator_->Factor();
        }
        ratio_ = RatioDecimator::Make(rate, factor);
        if (ratio_) return {};
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_16_BITQ, 0);
        quality.passband_end = 1660.0 / 2000.0;
        quality.stopband_begin = 2340.0 / 2000.0;
        const double from = static_cast<double>(rate) / static_cast<double>(factor);
        resampler_.reset(soxr_create(from, kScanRate, 1, &error, &io, &quality, &runtime));
        if (error != nullptr) return std::string("cannot convert the sample rate: ") + error;
        return {};
    }

    // Sums of `channels` (1 or 2) 16-bit samples per frame.
    std::string PushSums(std::span<const int32_t> sums, int channels) {
        if (decimator_) {
            samples_.clear();
            decimator_->Push(sums, 13 + channels, samples_);
            sink_(samples_);
            return {};
        }
        if (!resampler_ && !ratio_) {
            samples_.resize(sums.size());
            // The mean, rounded half to even as the float path's rounding is.
            std::transform(sums.begin(), sums.end(), samples_.begin(), [channels](int32_t sum) {
                return static_cast<int16_t>(channels == 1 ? sum : (sum >> 1) + ((sum & 1) & ((sum >> 1) & 1)));
            });
            sink_(samples_);
            return {};
        }
        const float scale = 1.0f / (32768.0f * static_cast<float>(channels));
        if (predecimator_) {
            lower_.clear();
            predecimator_->PushSums(sums, scale, lower_);
            return Push(lower_);
        }
        floats_.resize(sums.size());
        std::transform(sums.begin(), sums.end(), floats_.begin(),
                       [scale](int32_t sum) { return static_cast<float>(sum) * scale; });
        return Push(floats_);
    }

    std::string Push(std::span<const float> mono) { return handoff_ ? handoff_->Send(mono) : Convert(mono); }

    std::string Convert(std::span<const float> mono) {
        if (ratio_) {
            ratioed_.clear();
            ratio_->Push(mono, ratioed_);
            Emit(ratioed_);
            return {};
        }
        if (!resampler_) {
            Emit(mono);
            return {};
        }
        // No input is no call: libsoxr takes a null buffer for the end.
        if (mono.empty()) return {};
        do {
            std::size_t consumed = 0;
            std::size_t produced = 0;
            const soxr_error_t error = soxr_process(resampler_.get(), mono.data(), mono.size(), &consumed,
                                                    converted_.data(), converted_.size(), &produced);
            if (error != nullptr) return std::string("sample rate conversion failed: ") + error;
            Emit({converted_.data(), produced});
            mono = mono.subspan(consumed);
        } while (!mono.empty());
        return {};
    }

    std::string Flush(int channels) {
        if (decimator_) {
            samples_.clear();
            decimator_->Flush(13 + channels, samples_);
            sink_(samples_);
            return {};
        }
        if (!resampler_ && !ratio_) return {};
        if (predecimator_) {
            lower_.clear();
            predecimator_->Flush(lower_);
            if (std::string error = Push(lower_); !error.empty()) return error;
        }
        if (handoff_) {
            if (std::string error = handoff_->Finish(); !error.empty()) return error;
        }
        if (ratio_) {
            ratioed_.clear();
            ratio_->Flush(ratioed_);
            Emit(ratioed_);
            return {};
        }
        std::size_t produced = 0;
        do {
            const soxr_error_t error =
                soxr_process(resampler_.get(), nullptr, 0, nullptr, converted_.data(), converted_.size(), &produced);
            if (error != nullptr) return std::string("sample rate conversion failed: ") + error;
            Emit({converted_.data(), produced});
        } while (produced > 0);
        return {};
    }

private:
    // The first FIR step's factor for 16-bit input at `rate`; 1 for none.
    static std::size_t FirstStepFactor(int rate) {
        return rate >= 4 * kScanRate ? FirDecimator::FactorFor(rate) : 1;
    }

    void Emit(std::span<const float> values) {
        samples_.resize(values.size());
        RoundToSamples(values.data(), 32768.0f, samples_.data(), values.size());
        sink_(samples_);
    }

    const std::function<void(std::span<const int16_t>)>& sink_;
    std::optional<HalfBandDecimator> decimator_;
    std::optional<FirDecimator> predecimator_;
    Buffer<float> lower_;
    std::unique_ptr<RatioDecimator> ratio_;
    Buffer<float> ratioed_;
    SoxrPtr resampler_;
    std::vector<float> converted_ = std::vector<float>(kFileReadFrames);
    Buffer<float> floats_;
    Buffer<int16_t> samples_;
    // Last, so that its thread has stopped before the rest goes.
    std::unique_ptr<Handoff> handoff_;
};

// Mixed samples far beyond full scale clip after the conversion anyway;
// bounding them keeps the filter's sums finite.
constexpr double kMixLimit = 16.0;

// 16-bit PCM of one or two channels is read and mixed as integers: no round
// trip through floats, and no mix at all for one channel.
bool IntegerInput(const SF_INFO& info) {
    return (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && info.channels <= 2;
}

std::string ChannelProblem(const SF_INFO& info, const ScanTarget& target) {
    if (info.channels < 1 || info.samplerate < 1) return "no audio channels or no sample rate";
    if (target.channel > info.channels) {
        return "has no channel " + std::to_string(target.channel) + ", only " + std::to_string(info.channels);
    }
    return {};
}

void Report(const SF_INFO& info, const DecodeCallbacks& callbacks, bool stream, sf_count_t total) {
    if (stream) {
        callbacks.caught_up();
    } else if (info.frames > 0) {
        callbacks.progress(static_cast<double>(total) / static_cast<double>(info.frames));
    }
}

// Sample i of 16-bit samples in memory that need not be aligned.
inline int32_t ShortAt(const unsigned char* bytes, std::size_t i) {
    int16_t sample;
    std::memcpy(&sample, bytes + 2 * i, sizeof sample);
    return sample;
}

// The sums of the channels of `n` interleaved frames of 16-bit samples, or
// channel `channel` alone (1 is the first; 0 for the sums).
TONEWATCH_FILTER_CLONES void SumFrames(const unsigned char* bytes, std::size_t n, std::size_t channels, int channel,
                                       int32_t* sums) {
    if (channels == 1) {
        for (std::size_t i = 0; i < n; ++i) sums[i] = ShortAt(bytes, i);
    } else if (channel > 0) {
        const auto c = static_cast<std::size_t>(channel - 1);
        for (std::size_t i = 0; i < n; ++i) sums[i] = ShortAt(bytes, 2 * i + c);
    } else if constexpr (std::endian::native == std::endian::little) {
        // A frame read as one word: the first sample is its low half. Shifts
        // take the halves apart with their signs, in vector code.
        for (std::size_t i = 0; i < n; ++i) {
            uint32_t frame;
            std::memcpy(&frame, bytes + 4 * i, sizeof frame);
            const auto word = static_cast<int32_t>(frame);
            sums[i] = (static_cast<int32_t>(frame << 16) >> 16) + (word >> 16);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) sums[i] = ShortAt(bytes, 2 * i) + ShortAt(bytes, 2 * i + 1);
    }
}

void MixShorts(const unsigned char* bytes, std::size_t n, std::size_t channels, const ScanTarget& target,
               Buffer<int32_t>& sums) {
    sums.resize(n);
    SumFrames(bytes, n, channels, target.channel, sums.data());
}

// Reads up to `frames` interleaved frames of 16-bit samples on, in the
// processor's byte order, and returns their bytes; none at the end.
using FrameReader = std::function<std::span<const unsigned char>(sf_count_t frames)>;
// A reader from frame `first` on, for one part; nothing when there is none.
using OpenFrames = std::function<std::optional<FrameReader>(sf_count_t first)>;

// Maps the pages of a mapped file into memory on a thread of its own, a
// little ahead of the one reader that reads them in order, and unmaps those
// the reader has left behind, so that the cost of both falls on the other
// processor. Pages it could not map are mapped by the reader's own faults,
// as without it; unmapped pages stay in the page cache.
class MapAhead {
public:
    MapAhead(const unsigned char* map, std::size_t size) : map_(map), size_(size), thread_([this] { Run(); }) {}
    MapAhead(const MapAhead&) = delete;
    MapAhead& operator=(const MapAhead&) = delete;
    ~MapAhead() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    // The reader has read up to `at`.
    void Reached(const unsigned char* at) {
        {
            std::lock_guard lock(mutex_);
            reached_ = static_cast<std::size_t>(at - map_);
        }
        wake_.notify_one();
    }

private:
    static constexpr std::size_t kStep = std::size_t{1} << 20;
    static constexpr std::size_t kAhead = std::size_t{16} << 20;

    void Run() {
        auto* const map = const_cast<unsigned char*>(map_);
        std::size_t left_behind = 0;
        for (std::size_t done = 0; done < size_; done += kStep) {
            std::size_t reached = 0;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || done < reached_ + kAhead; });
                if (stop_) return;
                reached = reached_;
            }
            madvise(map + done, std::min(kStep, size_ - done), MADV_POPULATE_READ);
            // Whole steps behind the one being read.
            const std::size_t behind = reached / kStep * kStep;
            if (behind > left_behind + kStep) {
                madvise(map + left_behind, behind - kStep - left_behind, MADV_DONTNEED);
                left_behind = behind - kStep;
            }
        }
    }

    const unsigned char* map_;
    std::size_t size_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::size_t reached_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// The frames of a file in memory, read in place; `ahead`, when there is one,
// is told how far. Without one, the pages read are let go every few MB, as
// MapAhead does: a mapped hour at 44100/s stereo is 635 MB.
FrameReader MappedFrames(const unsigned char* from, sf_count_t frames, std::size_t frame_bytes,
                         MapAhead* ahead = nullptr) {
    constexpr std::size_t kLetGo = std::size_t{8} << 20;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    // Whole pages from `kept` up to the last read are behind the reader.
    uintptr_t kept = (reinterpret_cast<uintptr_t>(from) + page - 1) / page * page;
    return [from, frames, frame_bytes, ahead, page, kept](sf_count_t wanted) mutable {
        const uintptr_t behind = reinterpret_cast<uintptr_t>(from) / page * page;
        if (ahead == nullptr && behind >= kept + kLetGo) {
            madvise(reinterpret_cast<void*>(kept), behind - kept, MADV_DONTNEED);
            kept = behind;
        }
        const sf_count_t n = std::min(wanted, frames);
        const std::span<const unsigned char> got(from, static_cast<std::size_t>(n) * frame_bytes);
        from += got.size();
        frames -= n;
        if (ahead != nullptr) ahead->Reached(from);
        return got;
    };
}

// The frames libsndfile decodes.
FrameReader SndfileFrames(SNDFILE* file, int channels) {
    std::vector<int16_t> buffer;
    return [file, channels, buffer](sf_count_t wanted) mutable {
        buffer.resize(static_cast<std::size_t>(wanted) * static_cast<std::size_t>(channels));
        const sf_count_t n = std::max<sf_count_t>(0, sf_readf_short(file, buffer.data(), wanted));
        return std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(buffer.data()),
                                              static_cast<std::size_t>(n) * static_cast<std::size_t>(channels) * 2);
    };
}

// The integer path, over frames `read` gives. The mix, or the choice of the
// target's channel, runs with the reading.
std::string DecodeShorts(const SF_INFO& info, FrameReader read, sf_count_t frames_per_read,
                         const DecodeCallbacks& callbacks, const ScanTarget& target, bool stream, sf_count_t& total) {
    if (std::string problem = ChannelProblem(info, target); !problem.empty()) return problem;
    RateConverter converter(callbacks.samples);
    if (std::string error = converter.Open(info.samplerate, target.rate, true, !stream && callbacks.threads > 1);
        !error.empty()) {
        return error;
    }
    const auto channels = static_cast<std::size_t>(info.channels);
    // How many channels each sum adds up.
    const int summed = target.channel > 0 ? 1 : info.channels;
    total = 0;
    Buffer<int32_t> sums;
    for (std::span<const unsigned char> bytes; !(bytes = read(frames_per_read)).empty();) {
        const auto frames = static_cast<sf_count_t>(bytes.size() / (2 * channels));
        MixShorts(bytes.data(), static_cast<std::size_t>(frames), channels, target, sums);
        if (std::string error = converter.PushSums(sums, summed); !error.empty()) return error;
        total += frames;
        Report(info, callbacks, stream, total);
    }
    return converter.Flush(summed);
}

// Parts are at least this long: shorter ones would not pay for their threads.
constexpr sf_count_t kMinPartSeconds = 60;
constexpr int kMostParts = 16;

// Decodes the `info.frames` frames of 16-bit input in parts side by side,
// when each output sample depends on nearby input alone. Each part but the
// first starts reading a second early, and each but the last stops a second
// late, and the outputs of those seconds are dropped: what is kept had all
// the input it reaches, and so is what a decoding in order gives. True when
// done; false when the input is not decoded in parts, or a part could not be
// read, and nothing has been handed to `samples`.
bool DecodeInParts(const SF_INFO& info, const OpenFrames& open, const DecodeCallbacks& callbacks,
                   const ScanTarget& target) {
    const int rate = info.samplerate;
    if (callbacks.threads < 2 || !IntegerInput(info) || target.rate != kScanRate ||
        !RateConverter::ConvertsInParts(rate) || !ChannelProblem(info, target).empty()) {
        return false;
    }
    const sf_count_t frames = info.frames;
    const int count = static_cast<int>(
        std::min<sf_count_t>(std::min(callbacks.threads, kMostParts), frames / (kMinPartSeconds * rate)));
    if (count < 2) return false;
    // Whole seconds per part; the last takes the rest, at least as much.
    const sf_count_t part_frames = frames / (count * static_cast<sf_count_t>(rate)) * rate;
    const auto channels = static_cast<std::size_t>(info.channels);
    const int summed = target.channel > 0 ? 1 : info.channels;
    std::atomic<sf_count_t> read_so_far{0};
    // Decodes part k; false when it could not be read whole.
    auto run = [&](int k) {
        const bool last = k == count - 1;
        const sf_count_t begin = k * part_frames;
        const sf_count_t from = k == 0 ? 0 : begin - rate;
        const sf_count_t to = last ? frames : begin + part_frames + rate;
        std::optional<FrameReader> read = open(from);
        if (!read) return false;
        std::size_t skip = k == 0 ? 0 : kScanRate;
        std::size_t keep = last ? SIZE_MAX : static_cast<std::size_t>(part_frames / rate * kScanRate);
        const std::function<void(std::span<const int16_t>)> sink = [&](std::span<const int16_t> samples) {
            const std::size_t skipped = std::min(skip, samples.size());
            skip -= skipped;
            samples = samples.subspan(skipped);
            samples = samples.first(std::min(keep, samples.size()));
            keep -= samples.size();
            if (!samples.empty()) callbacks.part_samples(k, samples);
        };
        RateConverter converter(sink);
        if (!converter.Open(rate, kScanRate, true).empty()) return false;
        Buffer<int32_t> sums;
        for (sf_count_t at = from; at < to;) {
            const std::span<const unsigned char> bytes = (*read)(std::min(kFileReadFrames, to - at));
            if (bytes.empty()) return false;
            const auto got = static_cast<sf_count_t>(bytes.size() / (2 * channels));
            MixShorts(bytes.data(), static_cast<std::size_t>(got), channels, target, sums);
            converter.PushSums(sums, summed);
            at += got;
            const sf_count_t so_far = read_so_far.fetch_add(got) + got;
            callbacks.progress(std::min(1.0, static_cast<double>(so_far) / static_cast<double>(frames)));
        }
        if (last) converter.Flush(summed);
        return true;
    };
    callbacks.parts_begin(count);
    std::vector<char> done(static_cast<std::size_t>(count), 0);
    std::vector<std::thread> threads;
    for (int k = 0; k + 1 < count; ++k) {
        threads.emplace_back([&, k] { done[static_cast<std::size_t>(k)] = run(k); });
    }
    done.back() = run(count - 1);
    for (std::thread& thread : threads) thread.join();
    if (std::find(done.begin(), done.end(), 0) == done.end()) return true;
    callbacks.parts_begin(0);
    return false;
}

std::string Decode(SNDFILE* file, const SF_INFO& info, const DecodeCallbacks& callbacks, const ScanTarget& target,
                   bool stream, sf_count_t& total) {
    if (std::string problem = ChannelProblem(info, target); !problem.empty()) return problem;
    const auto channels = static_cast<std::size_t>(info.channels);
    const sf_count_t wanted = stream ? std::max(1, info.samplerate / kStreamReadsPerSecond) : kFileReadFrames;
    const sf_count_t frames_per_read =
        std::clamp<sf_count_t>(static_cast<sf_count_t>(kReadBytes / (channels * sizeof(float))), 1, wanted);
    std::string error;
    if (IntegerInput(info)) {
        error = DecodeShorts(
            info, SndfileFrames(file, info.channels), frames_per_read, callbacks, target, stream, total);
    } else {
        RateConverter converter(callbacks.samples);
        if (error = converter.Open(info.samplerate, target.rate, false, !stream && callbacks.threads > 1);
            !error.empty()) {
            return error;
        }
        std::vector<float> interleaved(static_cast<std::size_t>(frames_per_read) * channels);
        std::vector<float> mono(static_cast<std::size_t>(frames_per_read));
        total = 0;
        for (;;) {
            const sf_count_t frames = sf_readf_float(file, interleaved.data(), frames_per_read);
            if (frames <= 0) break;
            for (std::size_t i = 0; i < static_cast<std::size_t>(frames); ++i) {
                double sum = 0.0;
                if (target.channel > 0) {
                    sum = FiniteSample(interleaved[i * channels + static_cast<std::size_t>(target.channel - 1)]);
                } else {
                    for (std::size_t c = 0; c < channels; ++c) sum += FiniteSample(interleaved[i * channels + c]);
                    sum /= static_cast<double>(channels);
                }
                mono[i] = static_cast<float>(std::clamp(sum, -kMixLimit, kMixLimit));
            }
            if (error = converter.Push({mono.data(), static_cast<std::size_t>(frames)}); !error.empty()) return error;
            total += frames;
            Report(info, callbacks, stream, total);
        }
        if (error.empty()) error = converter.Flush(1);
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return std::string("decoding failed: ") + sf_strerror(file);
    return error;
}

// A 16-bit FLAC file's frames from frame `first` on, decoded by libFLAC
// itself, for a part: through libsndfile the copying costs about half as much
// again as the decoding. Nothing when the file is not as `info` says or the
// seek fails; errors later end the frames early, and the part then fails.
class FlacFrames {
public:
    static std::optional<FrameReader> Open(int fd, off_t base, sf_count_t length, sf_count_t first,
                                           const SF_INFO& info) {
        auto flac = std::make_shared<FlacFrames>(fd, base, length, info.channels);
        if (flac->decoder_ == nullptr ||
            FLAC__stream_decoder_init_stream(flac->decoder_, Read, Seek, Tell, Length, Eof, Write, Metadata, Error,
                                             flac.get()) != FLAC__STREAM_DECODER_INIT_STATUS_OK ||
            !FLAC__stream_decoder_process_until_end_of_metadata(flac->decoder_) || flac->bits_ != 16 ||
            flac->channels_in_file_ != info.channels || flac->frames_ != info.frames ||
            !FLAC__stream_decoder_seek_absolute(flac->decoder_, static_cast<FLAC__uint64>(first))) {
            return std::nullopt;
        }
        return [flac](sf_count_t wanted) { return flac->Next(wanted); };
    }

    FlacFrames(int fd, off_t base, sf_count_t length, int channels)
        : fd_(fd), base_(base), length_(length), channels_(static_cast<std::size_t>(channels)),
          decoder_(FLAC__stream_decoder_new()) {}
    FlacFrames(const FlacFrames&) = delete;
    FlacFrames& operator=(const FlacFrames&) = delete;
    ~FlacFrames() {
        if (decoder_ != nullptr) FLAC__stream_decoder_delete(decoder_);
    }

private:
    std::span<const unsigned char> Next(sf_count_t wanted) {
        // What the last call handed over is gone.
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken_));
        taken_ = 0;
        const std::size_t samples = static_cast<std::size_t>(wanted) * channels_;
        while (pending_.size() < samples && !failed_ &&
               FLAC__stream_decoder_get_state(decoder_) != FLAC__STREAM_DECODER_END_OF_STREAM) {
            if (!FLAC__stream_decoder_process_single(decoder_)) failed_ = true;
        }
        taken_ = failed_ ? 0 : std::min(samples, pending_.size());
        return {reinterpret_cast<const unsigned char*>(pending_.data()), taken_ * sizeof(int16_t)};
    }

    static FlacFrames& Of(void* self) { return *static_cast<FlacFrames*>(self); }

    static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte* out, size_t* bytes, void* self) {
        FlacFrames& f = Of(self);
        const std::size_t n = static_cast<std::size_t>(std::clamp<sf_count_t>(
            f.length_ - f.position_, 0, static_cast<sf_count_t>(*bytes)));
        const ssize_t got = n == 0 ? 0 : ReadFully(f.fd_, out, n, f.base_ + f.position_);
        if (got < 0) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        *bytes = static_cast<std::size_t>(got);
        f.position_ += got;
        return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }
    static FLAC__StreamDecoderSeekStatus Seek(const FLAC__StreamDecoder*, FLAC__uint64 at, void* self) {
        if (at > static_cast<FLAC__uint64>(Of(self).length_)) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
        Of(self).position_ = static_cast<sf_count_t>(at);
        return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
    }
    static FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* at, void* self) {
        *at = static_cast<FLAC__uint64>(Of(self).position_);
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }
    static FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* length, void* self) {
        *length = static_cast<FLAC__uint64>(Of(self).length_);
        return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    }
    static FLAC__bool Eof(const FLAC__StreamDecoder*, void* self) { return Of(self).position_ >= Of(self).length_; }
    static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const buffer[], void* self) {
        FlacFrames& f = Of(self);
        if (frame->header.channels != f.channels_ || frame->header.bits_per_sample != 16) {
            f.failed_ = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        const std::size_t old = f.pending_.size();
        f.pending_.resize(old + frame->header.blocksize * f.channels_);
        int16_t* out = f.pending_.data() + old;
        const std::size_t n = frame->header.blocksize;
        if (f.channels_ == 1) {
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<int16_t>(buffer[0][i]);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                out[2 * i] = static_cast<int16_t>(buffer[0][i]);
                out[2 * i + 1] = static_cast<int16_t>(buffer[1][i]);
            }
        }
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }
    static void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* self) {
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
        FlacFrames& f = Of(self);
        f.bits_ = metadata->data.stream_info.bits_per_sample;
        f.channels_in_file_ = static_cast<int>(metadata->data.stream_info.channels);
        f.frames_ = static_cast<sf_count_t>(metadata->data.stream_info.total_samples);
    }
    static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self) { Of(self).failed_ = true; }

    int fd_;
    off_t base_;
    sf_count_t length_;
    sf_count_t position_ = 0;
    std::size_t channels_;
    FLAC__StreamDecoder* decoder_;
    unsigned bits_ = 0;
    int channels_in_file_ = 0;
    sf_count_t frames_ = -1;
    bool failed_ = false;
    Buffer<int16_t> pending_;
    std::size_t taken_ = 0;
};

std::string TruncatedText(sf_count_t decoded, sf_count_t promised) {
    char text[128];
    std::snprintf(text, sizeof text, "file is truncated: decoded %" PRId64 " of %" PRId64 " frames",
                  static_cast<int64_t>(decoded), static_cast<int64_t>(promised));
    return text;
}

std::string DecodeSource(Source& source, SF_INFO info, const DecodeCallbacks& callbacks, const ScanTarget& target) {
    SF_VIRTUAL_IO io{SourceLength, SourceSeek, SourceRead, SourceWrite, SourceTell};
    SndfilePtr file;
    {
        std::lock_guard lock(open_mutex);
        file.reset(sf_open_virtual(&io, SFM_READ, &info, &source));
        if (!file && source.read_error == 0) return std::string("not a readable audio file: ") + sf_strerror(nullptr);
    }
    // Each part reads through a libsndfile of its own, seeked to its start.
    const OpenFrames open = [&](sf_count_t first) -> std::optional<FrameReader> {
        if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC) {
            return FlacFrames::Open(source.fd, source.base, source.length, first, info);
        }
        struct Part {
            Source source;
            SndfilePtr file;
        };
        auto part = std::make_shared<Part>();
        part->source.fd = source.fd;
        part->source.base = source.base;
        part->source.length = source.length;
        part->source.patch_at = source.patch_at;
        part->source.patch = source.patch;
        SF_INFO part_info{};
        {
            std::lock_guard lock(open_mutex);
            part->file.reset(sf_open_virtual(&io, SFM_READ, &part_info, &part->source));
        }
        if (!part->file || part_info.frames != info.frames || part_info.channels != info.channels ||
            part_info.format != info.format || sf_seek(part->file.get(), first, SEEK_SET) != first) {
            return std::nullopt;
        }
        // The reader keeps the part's libsndfile open.
        return [part, read = SndfileFrames(part->file.get(), info.channels)](sf_count_t frames) mutable {
            return read(frames);
        };
    };
    if (file && source.fd >= 0 && info.seekable && DecodeInParts(info, open, callbacks, target)) return {};
    sf_count_t total = 0;
    std::string error = file ? Decode(file.get(), info, callbacks, target, false, total) : std::string();
    if (source.read_error != 0) return std::string("read error: ") + std::strerror(source.read_error);
    if (!error.empty()) return error;
    if (total < info.frames) return TruncatedText(total, info.frames);
    return {};
}

// A WAV header's promise set against the file's own size: a file cut short
// is reported rather than scanned in part, and a header that gives no length
// (a streaming recorder's, never finished) is given the length that is there.
std::string CheckWavLength(Source& source, const DecodeCallbacks& callbacks) {
    const auto layout =
        FindWavData([&](uint64_t at, unsigned char* out, std::size_t n) { return source.ReadAt(at, out, n); });
    if (!layout || layout->data_at > static_cast<uint64_t>(source.length)) return {};
    const uint64_t present = static_cast<uint64_t>(source.length) - layout->data_at;
    if (layout->promised == 0 && present > 0) {
        const auto length = static_cast<uint32_t>(std::min<uint64_t>(present, 0xFFFFFFFE));
        for (int i = 0; i < 4; ++i) {
            const int shift = layout->big_endian ? 24 - 8 * i : 8 * i;
            source.patch[static_cast<std::size_t>(i)] = static_cast<unsigned char>(length >> shift);
        }
        source.patch_at = static_cast<sf_count_t>(layout->length_at);
        callbacks.notice("the WAV header gives no length for its audio; scanning the " + std::to_string(present) +
                         " bytes that follow it");
        return {};
    }
    if (layout->promised >= kPlaceholderLength || layout->promised <= present) return {};
    return "file is truncated: header promises " + std::to_string(layout->promised) +
           " bytes of audio, file holds " + std::to_string(present);
}

// 16-bit little-endian PCM of one or two channels in a regular file, read
// straight from the page cache: `bytes` of audio from `at` in the file, as
// `format` describes it. Empty when the file cannot be mapped, which leaves
// the decoding to libsndfile.
std::optional<std::string> DecodeMapped(int fd, off_t size, uint64_t at, uint64_t bytes, SF_INFO format,
                                        const DecodeCallbacks& callbacks, const ScanTarget& target) {
    const bool fits = format.format == (SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE) && IntegerInput(format) &&
                      format.samplerate >= 1 && at <= static_cast<uint64_t>(size) &&
                      bytes <= static_cast<uint64_t>(size) - at;
    if (!fits) return std::nullopt;
    void* map = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) return std::nullopt;
    // Read ahead, and let pages go behind: a file may be larger than memory.
    madvise(map, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
    const std::size_t frame_bytes = 2 * static_cast<std::size_t>(format.channels);
    const unsigned char* next = static_cast<const unsigned char*>(map) + at;
    format.frames = static_cast<sf_count_t>(bytes / frame_bytes);
    const OpenFrames open = [&](sf_count_t first) -> std::optional<FrameReader> {
        return MappedFrames(next + static_cast<std::size_t>(first) * frame_bytes, format.frames - first, frame_bytes);
    };
    if (DecodeInParts(format, open, callbacks, target)) {
        munmap(map, static_cast<std::size_t>(size));
        return std::string();
    }
    std::optional<MapAhead> ahead;
    if (callbacks.threads > 1) ahead.emplace(static_cast<const unsigned char*>(map), static_cast<std::size_t>(size));
    sf_count_t total = 0;
    std::string error = DecodeShorts(format, MappedFrames(next, format.frames, frame_bytes, ahead ? &*ahead : nullptr),
                                     kFileReadFrames, callbacks, target, false, total);
    ahead.reset();
    munmap(map, static_cast<std::size_t>(size));
    return error;
}

std::string DecodeRegularFile(int fd, off_t base, off_t size, const std::optional<RawFormat>& raw,
                              const DecodeCallbacks& callbacks, const ScanTarget& target) {
    if (size <= base) return "file is empty";
    Source source;
    source.fd = fd;
    source.base = base;
    source.length = size - base;
    SF_INFO info{};
    if (raw) {
        info.samplerate = raw->rate;
        info.channels = raw->channels;
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
        if (auto mapped = DecodeMapped(fd, size, static_cast<uint64_t>(base), static_cast<uint64_t>(size - base), info,
                                       callbacks, target)) {
            return *mapped;
        }
    } else if (std::string error = CheckWavLength(source, callbacks); !error.empty()) {
        return error;
    } else if (const auto layout = FindWavData(
                   [&](uint64_t at, unsigned char* out, std::size_t n) { return source.ReadAt(at, out, n); });
               layout && layout->raw) {
        // The length the header promises, or all there is when it promises
        // none or a placeholder.
        const uint64_t present = static_cast<uint64_t>(source.length) - layout->data_at;
        const uint64_t audio = layout->promised == 0 || layout->promised >= kPlaceholderLength
                                   ? present
                                   : std::min<uint64_t>(layout->promised, present);
        if (auto mapped = DecodeMapped(fd, size, static_cast<uint64_t>(base) + layout->data_at, audio, *layout->raw,
                                       callbacks, target)) {
            return *mapped;
        }
    }
    return DecodeSource(source, info, callbacks, target);
}

// Copies a stream into a pipe on a thread of its own, after a head that was
// read (and perhaps changed) already, so that libsndfile reads a pipe as
// pipes are meant to be read: forward, as the data comes. Stopping closes the
// reading end and wakes the thread, wherever it waits.
class PipeFeeder {
public:
    PipeFeeder() = default;
    PipeFeeder(const PipeFeeder&) = delete;
    PipeFeeder& operator=(const PipeFeeder&) = delete;
    ~PipeFeeder() { Stop(); }

    std::string Start(int input, std::vector<unsigned char> head) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return "cannot make a pipe: " + ErrnoText();
        read_end_ = ends[0];
        write_end_ = ends[1];
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) return "cannot make an eventfd: " + ErrnoText();
        input_ = input;
        head_ = std::move(head);
        thread_ = std::thread([this] { Run(); });
        return {};
    }

    int ReadEnd() const { return read_end_; }

    // Stops the copy and returns why the input could not be read, if it could not.
    std::string Stop() {
        if (read_end_ >= 0) close(read_end_);
        read_end_ = -1;
        if (thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t ignored = write(wake_, &one, sizeof one);
            thread_.join();
        }
        if (write_end_ >= 0) close(write_end_);
        write_end_ = -1;
        if (wake_ >= 0) close(wake_);
        wake_ = -1;
        return error_;
    }

private:
    bool WriteAll(const unsigned char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t written = write(write_end_, data, size);
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return false;  // the reader is gone
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }

    void Run() {
        // A write after the reader has gone must fail here, not end the process.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

        if (WriteAll(head_.data(), head_.size())) {
            std::vector<unsigned char> buffer(std::size_t{1} << 16);
            for (;;) {
                pollfd fds[2] = {{input_, POLLIN, 0}, {wake_, POLLIN, 0}};
                if (poll(fds, 2, -1) < 0) {
                    if (errno == EINTR) continue;
                    error_ = "cannot wait for input: " + ErrnoText();
                    break;
                }
                if (fds[1].revents != 0) break;
                const ssize_t got = read(input_, buffer.data(), buffer.size());
                if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                if (got < 0) {
                    error_ = "read error: " + ErrnoText();
                    break;
                }
                if (got == 0 || !WriteAll(buffer.data(), static_cast<std::size_t>(got))) break;
            }
        }
        // The reader sees the end of the stream.
        close(write_end_);
        write_end_ = -1;
    }

    int input_ = -1;
    int read_end_ = -1;
    int write_end_ = -1;
    int wake_ = -1;
    std::vector<unsigned char> head_;
    std::thread thread_;
    std::string error_;
};

// The start of a stream, read as far as needed and kept to be passed on.
struct StreamHead {
    explicit StreamHead(int input) : fd(input) {}

    int fd;
    std::vector<unsigned char> bytes;
    bool ended = false;
    std::string error;

    bool Need(std::size_t size) {
        while (bytes.size() < size && !ended) {
            const std::size_t old = bytes.size();
            bytes.resize(std::max(size, old + 4096));
            const ssize_t got = read(fd, bytes.data() + old, bytes.size() - old);
            if (got < 0 && errno == EINTR) {
                bytes.resize(old);
                continue;
            }
            if (got < 0 && errno == EAGAIN) {
                bytes.resize(old);
                pollfd ready{fd, POLLIN, 0};
                poll(&ready, 1, -1);
                continue;
            }
            bytes.resize(old + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
            if (got < 0) error = "read error: " + ErrnoText();
            if (got <= 0) ended = true;
        }
        return bytes.size() >= size;
    }

    bool ReadAt(uint64_t at, unsigned char* out, std::size_t n) {
        if (at + n > kStreamHeadLimit || !Need(static_cast<std::size_t>(at + n))) return false;
        std::memcpy(out, bytes.data() + at, n);
        return true;
    }
};

std::string DecodeWholeStream(StreamHead& head, const DecodeCallbacks& callbacks, const ScanTarget& target) {
    while (head.Need(head.bytes.size() + (std::size_t{1} << 16))) {
    }
    if (!head.error.empty()) return head.error;
    Source source;
    source.memory = std::move(head.bytes);
    source.length = static_cast<sf_count_t>(source.memory.size());
    return DecodeSource(source, SF_INFO{}, callbacks, target);
}

std::string DecodeStream(int fd, bool standard_input, const std::optional<RawFormat>& raw,
                         const DecodeCallbacks& callbacks, const ScanTarget& target) {
    StreamHead head(fd);
    head.Need(12);
    if (!head.error.empty()) return head.error;
    if (head.bytes.empty()) return standard_input ? "standard input is empty" : "input is empty";

    SF_INFO info{};
    // A WAV stream whose length is unknown is read as the headerless audio it
    // holds, so that it is read to its end, not to a placeholder's.
    std::optional<WavLayout> layout;
    bool check_length = false;
    if (raw) {
        info.samplerate = raw->rate;
        info.channels = raw->channels;
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    } else if (head.bytes.size() >= 4 && std::memcmp(head.bytes.data(), "fLaC", 4) == 0) {
        // libsndfile cannot decode FLAC from a pipe; it is read whole first.
        return DecodeWholeStream(head, callbacks, target);
    } else {
        layout = FindWavData([&](uint64_t at, unsigned char* out, std::size_t n) { return head.ReadAt(at, out, n); });
        if (!head.error.empty()) return head.error;
    }
    if (layout && layout->promised == 0) {
        callbacks.notice("the WAV header gives no length for its audio; reading it to the end of the stream");
    }
    if (layout && layout->raw && (layout->promised == 0 || layout->promised >= kPlaceholderLength)) {
        info = *layout->raw;
        head.Need(static_cast<std::size_t>(layout->data_at));
        head.bytes.erase(head.bytes.begin(),
                         head.bytes.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(layout->data_at, head.bytes.size())));
    } else if (layout && layout->promised == 0) {
        const std::size_t at = static_cast<std::size_t>(layout->length_at);
        std::fill(head.bytes.begin() + static_cast<std::ptrdiff_t>(at), head.bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                  static_cast<unsigned char>(0xFF));
    } else if (layout) {
        check_length = layout->promised < kPlaceholderLength;
    }

    PipeFeeder feeder;
    if (std::string error = feeder.Start(fd, std::move(head.bytes)); !error.empty()) return error;
    SndfilePtr file;
    {
        std::lock_guard lock(open_mutex);
        file.reset(sf_open_fd(feeder.ReadEnd(), SFM_READ, &info, SF_FALSE));
        if (!file) {
            const std::string reason = sf_strerror(nullptr);
            if (std::string error = feeder.Stop(); !error.empty()) return error;
            return "not a readable audio file: " + reason;
        }
    }
    sf_count_t total = 0;
    std::string error = Decode(file.get(), info, callbacks, target, true, total);
    file.reset();
    if (std::string read_error = feeder.Stop(); !read_error.empty()) return read_error;
    if (!error.empty()) return error;
    if (check_length && total < info.frames) return TruncatedText(total, info.frames);
    return {};
}

}

std::string DecodeForScan(const std::string& path, const std::optional<RawFormat>& raw,
                          const DecodeCallbacks& callbacks, const ScanTarget& target) {
    Descriptor input;
    const bool standard_input = path == "-";
    if (standard_input) {
        input.fd = STDIN_FILENO;
    } else {
        input.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (input.fd < 0) return ErrnoText();
        input.owned = true;
    }
    struct stat status {};
    if (fstat(input.fd, &status) != 0) return ErrnoText();
    if (S_ISDIR(status.st_mode)) return "is a directory";
    if (S_ISREG(status.st_mode)) {
        const off_t base = standard_input ? std::max<off_t>(lseek(input.fd, 0, SEEK_CUR), 0) : 0;
        return DecodeRegularFile(input.fd, base, status.st_size, raw, callbacks, target);
    }
    return DecodeStream(input.fd, standard_input, raw, callbacks, target);
}

}
