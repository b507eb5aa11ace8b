#include "audio_input.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <type_traits>
#include <vector>

namespace dtmfscan {
namespace {

constexpr sf_count_t kChunkFrames = 1 << 15;

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

// Standard input is read whole and served to libsndfile from memory: most
// formats need to seek, which a pipe cannot.
struct MemoryFile {
    std::vector<char> data;
    sf_count_t position = 0;

    sf_count_t Size() const { return static_cast<sf_count_t>(data.size()); }
};

MemoryFile& Memory(void* user) { return *static_cast<MemoryFile*>(user); }

sf_count_t MemoryLength(void* user) { return Memory(user).Size(); }

sf_count_t MemorySeek(sf_count_t offset, int whence, void* user) {
    MemoryFile& file = Memory(user);
    const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position : file.Size();
    const sf_count_t target = base + offset;
    if (target < 0 || target > file.Size()) return -1;
    file.position = target;
    return target;
}

sf_count_t MemoryRead(void* destination, sf_count_t count, void* user) {
    MemoryFile& file = Memory(user);
    const sf_count_t n = std::clamp<sf_count_t>(file.Size() - file.position, 0, count);
    std::memcpy(destination, file.data.data() + file.position, static_cast<std::size_t>(n));
    file.position += n;
    return n;
}

sf_count_t MemoryWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t MemoryTell(void* user) { return Memory(user).position; }

std::string ReadStandardInput(MemoryFile& file) {
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) file.data.insert(file.data.end(), buffer, buffer + n);
    if (std::ferror(stdin)) return std::string("cannot read standard input: ") + std::strerror(errno);
    return {};
}

// Mono float at the file's rate in, 16-bit at 4000/s out. Anything not at
// 4000/s goes through libsoxr's high-quality low-pass, so tones above 2 kHz
// are removed instead of folding onto the DTMF band.
class RateConverter {
public:
    RateConverter(const SampleSink& sink) : sink_(sink) {}

    std::string Open(int rate) {
        if (rate == kScanRate) return {};
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        // Files are scanned in parallel already; one thread per resampler.
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        resampler_.reset(soxr_create(rate, kScanRate, 1, &error, &io, &quality, &runtime));
        if (error != nullptr) return std::string("cannot convert the sample rate: ") + error;
        return {};
    }

    std::string Push(std::span<const float> mono) {
        if (!resampler_) {
            Emit(mono);
            return {};
        }
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

    std::string Flush() {
        if (!resampler_) return {};
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
    void Emit(std::span<const float> values) {
        samples_.resize(values.size());
        std::transform(values.begin(), values.end(), samples_.begin(), FloatToSample);
        sink_(samples_);
    }

    const SampleSink& sink_;
    SoxrPtr resampler_;
    std::vector<float> converted_ = std::vector<float>(kChunkFrames);
    std::vector<int16_t> samples_;
};

// libsndfile reads a WAV file whose data ends before its header says as far
// as it goes and only notes "data : <header> (should be <actual>)" in its log.
// A cut-off recording is reported rather than scanned in part. Headers of
// streamed recordings carry a huge or zero placeholder length; those pass.
std::string CheckDataLength(SNDFILE* file) {
    std::vector<char> log(1 << 14);
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    const char* line = std::strstr(log.data(), "\ndata : ");
    unsigned long long promised = 0;
    unsigned long long present = 0;
    if (line == nullptr || std::sscanf(line, "\ndata : %llu (should be %llu)", &promised, &present) != 2) return {};
    if (promised <= present || promised >= 0x7FFF0000ull) return {};
    char text[128];
    std::snprintf(text, sizeof text, "file is truncated: header promises %llu bytes of audio, file holds %llu",
                  promised, present);
    return text;
}

std::string Decode(SNDFILE* file, const SF_INFO& info, const SampleSink& sink, const ProgressSink& progress) {
    if (info.channels < 1 || info.samplerate < 1) return "no audio channels or no sample rate";
    if (std::string error = CheckDataLength(file); !error.empty()) return error;
    RateConverter converter(sink);
    if (std::string error = converter.Open(info.samplerate); !error.empty()) return error;

    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float> interleaved(kChunkFrames * channels);
    std::vector<float> mono(kChunkFrames);
    sf_count_t total = 0;
    for (;;) {
        const sf_count_t frames = sf_readf_float(file, interleaved.data(), kChunkFrames);
        if (frames <= 0) break;
        for (sf_count_t i = 0; i < frames; ++i) {
            float sum = 0.0f;
            for (std::size_t c = 0; c < channels; ++c) sum += interleaved[static_cast<std::size_t>(i) * channels + c];
            mono[static_cast<std::size_t>(i)] = sum / static_cast<float>(channels);
        }
        if (std::string error = converter.Push({mono.data(), static_cast<std::size_t>(frames)}); !error.empty()) {
            return error;
        }
        total += frames;
        if (info.frames > 0) progress(static_cast<double>(total) / static_cast<double>(info.frames));
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return std::string("decoding failed: ") + sf_strerror(file);
    if (total < info.frames) {
        char text[96];
        std::snprintf(text, sizeof text, "file is truncated: decoded %" PRId64 " of %" PRId64 " frames",
                      static_cast<int64_t>(total), static_cast<int64_t>(info.frames));
        return text;
    }
    return converter.Flush();
}

}

std::string DecodeForScan(const std::string& path, const std::optional<RawFormat>& raw, const SampleSink& sink,
                          const ProgressSink& progress) {
    SF_INFO info{};
    if (raw) {
        info.samplerate = raw->rate;
        info.channels = raw->channels;
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    }
    MemoryFile memory;
    SF_VIRTUAL_IO io{MemoryLength, MemorySeek, MemoryRead, MemoryWrite, MemoryTell};
    const bool from_stdin = path == "-";
    if (from_stdin) {
        if (std::string error = ReadStandardInput(memory); !error.empty()) return error;
        if (memory.data.empty()) return "standard input is empty";
    } else {
        std::error_code ec;
        const auto status = std::filesystem::status(path, ec);
        if (ec) return ec.message();
        if (std::filesystem::is_directory(status)) return "is a directory";
        if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(path, ec) == 0 && !ec) {
            return "file is empty";
        }
    }

    SndfilePtr file;
    {
        std::lock_guard lock(open_mutex);
        file.reset(from_stdin ? sf_open_virtual(&io, SFM_READ, &info, &memory) : sf_open(path.c_str(), SFM_READ, &info));
        if (!file) return std::string("not a readable audio file: ") + sf_strerror(nullptr);
    }
    return Decode(file.get(), info, sink, progress);
}

}
