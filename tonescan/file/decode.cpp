#include "decode.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "ffmpeg_frames.h"
#include "frames.h"
#include "header.h"
#include "input.h"
#include "mix.h"
#include "parts.h"
#include "rate_converter.h"
#include "sources.h"
#include "stream.h"
#include "tonescan.h"
#include "wav.h"

namespace tonescan {

ScanError Fail(int code, std::string text) { return {code, std::move(text)}; }

bool IntegerInput(const SF_INFO& info) {
    return (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && MixesAsIntegers(info.channels);
}

ScanError ChannelProblem(const SF_INFO& info, const ScanTarget& target) {
    if (info.channels < 1 || info.samplerate < 1) return Fail(TONESCAN_EFORMAT, "no audio channels or no sample rate");
    // The highest key tone needs 3000/s; much less is a broken header, whose
    // rate conversion would take minutes for nothing.
    if (info.samplerate < kLowestRate) {
        return Fail(TONESCAN_ERATE, "a sample rate of " + std::to_string(info.samplerate) + "/s cannot hold touch tones");
    }
    if (target.stream > 1) {
        return Fail(TONESCAN_ECHANNEL, "has no audio stream " + std::to_string(target.stream) + ", only 1");
    }
    if (target.channel > info.channels) {
        return Fail(TONESCAN_ECHANNEL, "has no channel " + std::to_string(target.channel) + ", only " +
                                           std::to_string(info.channels));
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

namespace {

ScanError Cancelled() { return Fail(TONESCAN_ECANCELLED, "cancelled"); }

ScanError Converting(std::string error) {
    if (error.empty()) return {};
    return Fail(TONESCAN_EINTERNAL, std::move(error));
}

ScanError Truncated(sf_count_t decoded, sf_count_t promised) {
    char text[128];
    std::snprintf(text, sizeof text, "file is truncated: decoded %" PRId64 " of %" PRId64 " frames",
                  static_cast<int64_t>(decoded), static_cast<int64_t>(promised));
    return Fail(TONESCAN_ETRUNCATED, text);
}

// The integer path, over frames `read` gives. The mix, or the choice of the
// target's channel, runs with the reading.
ScanError DecodeShorts(const SF_INFO& info, FrameReader read, sf_count_t frames_per_read,
                       const DecodeCallbacks& callbacks, const ScanTarget& target, bool stream, sf_count_t& total) {
    if (ScanError problem = ChannelProblem(info, target)) return problem;
    callbacks.rate(info.samplerate);
    RateConverter converter(callbacks.samples);
    if (ScanError error =
            Converting(converter.Open(info.samplerate, target.rate, true, !stream && callbacks.threads > 1))) {
        return error;
    }
    const auto channels = static_cast<std::size_t>(info.channels);
    // How many channels each sum adds up.
    const int summed = target.channel > 0 ? 1 : info.channels;
    total = 0;
    Buffer<int32_t> sums;
    for (std::span<const unsigned char> bytes; !(bytes = read(frames_per_read)).empty();) {
        if (callbacks.Cancelled()) return Cancelled();
        const auto frames = static_cast<sf_count_t>(bytes.size() / (2 * channels));
        MixShorts(bytes.data(), static_cast<std::size_t>(frames), channels, target.channel, sums);
        if (ScanError error = Converting(converter.PushSums(sums, summed))) return error;
        total += frames;
        Report(info, callbacks, stream, total);
    }
    return Converting(converter.Flush(summed));
}

// Whatever libsndfile decodes: the integer path where it applies, floats
// otherwise.
ScanError Decode(SNDFILE* file, const SF_INFO& info, const DecodeCallbacks& callbacks, const ScanTarget& target,
                 bool stream, sf_count_t& total) {
    if (ScanError problem = ChannelProblem(info, target)) return problem;
    const auto channels = static_cast<std::size_t>(info.channels);
    const sf_count_t wanted = stream ? std::max(1, info.samplerate / kStreamReadsPerSecond) : kFileReadFrames;
    const sf_count_t frames_per_read =
        std::clamp<sf_count_t>(static_cast<sf_count_t>(kReadBytes / (channels * sizeof(float))), 1, wanted);
    ScanError error;
    if (IntegerInput(info)) {
        error = DecodeShorts(info, SndfileFrames(file, info.channels), frames_per_read, callbacks, target, stream,
                             total);
    } else {
        callbacks.rate(info.samplerate);
        RateConverter converter(callbacks.samples);
        if (ScanError open_error = Converting(
                converter.Open(info.samplerate, target.rate, false, !stream && callbacks.threads > 1))) {
            return open_error;
        }
        std::vector<float> interleaved(static_cast<std::size_t>(frames_per_read) * channels);
        std::vector<float> mono(static_cast<std::size_t>(frames_per_read));
        total = 0;
        for (;;) {
            const sf_count_t frames = sf_readf_float(file, interleaved.data(), frames_per_read);
            if (frames <= 0) break;
            if (callbacks.Cancelled()) return Cancelled();
            MixFloats(interleaved.data(), static_cast<std::size_t>(frames), channels, target.channel, mono.data());
            if ((error = Converting(converter.Push({mono.data(), static_cast<std::size_t>(frames)})))) return error;
            total += frames;
            Report(info, callbacks, stream, total);
        }
        if (!error) error = Converting(converter.Flush(1));
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return Fail(TONESCAN_EREAD, std::string("decoding failed: ") + sf_strerror(file));
    return error;
}

ScanError Changed(sf_count_t decoded, sf_count_t promised) {
    char text[128];
    std::snprintf(text, sizeof text, "file changed while it was read: it ended after %" PRId64 " of %" PRId64 " frames",
                  static_cast<int64_t>(decoded), static_cast<int64_t>(promised));
    return Fail(TONESCAN_ETRUNCATED, text);
}

// "1:02:03.450" or "3.450 s", for a notice.
std::string TimeText(sf_count_t frames, int rate) {
    const auto ms = static_cast<int64_t>(static_cast<double>(frames) * 1000.0 / rate + 0.5);
    char text[64];
    if (ms >= 60'000) {
        std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64, ms / 3'600'000,
                      ms / 60'000 % 60, ms / 1000 % 60, ms % 1000);
    } else {
        std::snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64 " s", ms / 1000, ms % 1000);
    }
    return text;
}

ScanError DecodeSource(Source& source, SF_INFO info, const DecodeCallbacks& callbacks, const ScanTarget& target) {
    SF_VIRTUAL_IO io = SourceIo();
    SndfilePtr file;
    std::string unreadable;
    if (info.format == 0 && FalseMpeg(source)) {
        unreadable = kFalseMpeg;
    } else {
        std::lock_guard lock(open_mutex);
        file.reset(sf_open_virtual(&io, SFM_READ, &info, &source));
        if (!file && source.read_error == 0) unreadable = sf_strerror(nullptr);
    }
    if (!file && source.read_error == 0) return DecodeUnrecognised(source, unreadable, callbacks, target);
    const bool flac = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
    // A FLAC stream that does not give its length is read to its end.
    const bool length_known = !(flac && info.frames == kUnknownFrames);
    // Damaged FLAC frames, told as they are found and counted for the end.
    std::atomic<sf_count_t> damaged{0};
    const FlacDamage on_damage = [&](sf_count_t at, sf_count_t frames) {
        damaged += frames;
        callbacks.notice("damaged audio at " + TimeText(at, info.samplerate) + " could not be decoded; " +
                         TimeText(frames, info.samplerate) + " of it skipped as silence");
    };
    // Each part reads through a libsndfile of its own, seeked to its start.
    const OpenFrames open = [&](sf_count_t first) -> std::optional<FrameReader> {
        if (flac) return FlacFrames(source, first, info, on_damage);
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
    const auto damage = [&]() -> ScanError {
        if (damaged == 0) return {};
        return Fail(TONESCAN_EREAD, "file is damaged: " + TimeText(damaged, info.samplerate) +
                                        " of its audio could not be decoded");
    };
    if (file && length_known && source.fd >= 0 && info.seekable && DecodeInParts(info, open, callbacks, target)) {
        return damage();
    }
    damaged = 0;
    sf_count_t total = 0;
    ScanError error;
    std::optional<FrameReader> flac_frames;
    if (file && flac && IntegerInput(info) && !ChannelProblem(info, target)) flac_frames = open(0);
    if (flac_frames) {
        SF_INFO shown = info;
        // Progress is a fraction of a known length only.
        if (!length_known) shown.frames = 0;
        error = DecodeShorts(shown, *flac_frames, kFileReadFrames, callbacks, target, false, total);
    } else if (file) {
        error = Decode(file.get(), info, callbacks, target, false, total);
    }
    if (source.read_error != 0) return Fail(TONESCAN_EREAD, std::string("read error: ") + std::strerror(source.read_error));
    if (error) return error;
    // Without a Xing header libsndfile guesses an MPEG stream's length from
    // its bit rate: a shortfall under a tenth of a second is no cut.
    const sf_count_t slack = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG ? info.samplerate / 10 : 0;
    if (length_known && total + slack < info.frames) {
        struct stat now {};
        if (source.fd >= 0 && fstat(source.fd, &now) == 0 && now.st_size < source.base + source.length) {
            return Changed(total, info.frames);
        }
        return Truncated(total, info.frames);
    }
    return damage();
}

// A WAV header's promise set against the file's own size: a file cut short
// is reported rather than scanned in part, and a header that gives no length
// (a streaming recorder's, never finished) is given the length that is there.
ScanError CheckWavLength(const WavLayout& layout, Source& source, const DecodeCallbacks& callbacks) {
    if (layout.data_at > static_cast<uint64_t>(source.length)) return {};
    const uint64_t present = static_cast<uint64_t>(source.length) - layout.data_at;
    if (layout.promised == 0 && present > 0) {
        const auto length = static_cast<uint32_t>(std::min<uint64_t>(present, 0xFFFFFFFE));
        for (int i = 0; i < 4; ++i) {
            const int shift = layout.big_endian ? 24 - 8 * i : 8 * i;
            source.patch[static_cast<std::size_t>(i)] = static_cast<unsigned char>(length >> shift);
        }
        source.patch_at = static_cast<sf_count_t>(layout.length_at);
        callbacks.notice("the WAV header gives no length for its audio; scanning the " + std::to_string(present) +
                         " bytes that follow it");
        return {};
    }
    if (layout.promised >= kPlaceholderLength || layout.promised <= present) return {};
    return Fail(TONESCAN_ETRUNCATED, "file is truncated: header promises " + std::to_string(layout.promised) +
                                         " bytes of audio, file holds " + std::to_string(present));
}

// 16-bit little-endian PCM of one or two channels, which the library reads itself.
bool ReadsAsPcm(const SF_INFO& format) {
    return format.format == (SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE) && IntegerInput(format) &&
           format.samplerate >= 1;
}

// Such PCM in a regular file, read without libsndfile: `bytes` of audio from
// `at` in the file, as `format` describes it. Nothing when the format is not
// that, which leaves the decoding to libsndfile.
std::optional<ScanError> DecodePcm(int fd, off_t size, uint64_t at, uint64_t bytes, SF_INFO format,
                                   const DecodeCallbacks& callbacks, const ScanTarget& target) {
    const bool fits = ReadsAsPcm(format) && at <= static_cast<uint64_t>(size) && bytes <= static_cast<uint64_t>(size) - at;
    if (!fits) return std::nullopt;
    posix_fadvise(fd, static_cast<off_t>(at), static_cast<off_t>(bytes), POSIX_FADV_SEQUENTIAL);
    const std::size_t frame_bytes = 2 * static_cast<std::size_t>(format.channels);
    format.frames = static_cast<sf_count_t>(bytes / frame_bytes);
    {
        ReadFault fault;
        const OpenFrames open = [&](sf_count_t first) -> std::optional<FrameReader> {
            return FileFrames(fd, static_cast<off_t>(at) + static_cast<off_t>(first) * static_cast<off_t>(frame_bytes),
                              format.frames - first, frame_bytes, fault);
        };
        // A part that could not be read whole is read again below, in order,
        // and fails there in the same way if the file is still short.
        if (DecodeInParts(format, open, callbacks, target)) return ScanError{};
    }
    ReadFault fault;
    sf_count_t total = 0;
    ScanError error = DecodeShorts(format, FileFrames(fd, static_cast<off_t>(at), format.frames, frame_bytes, fault),
                                   kFileReadFrames, callbacks, target, false, total);
    if (const int code = fault.error.load(); code != 0) {
        return Fail(TONESCAN_EREAD, std::string("read error: ") + std::strerror(code));
    }
    if (error) return error;
    if (fault.ended_early.load()) return Changed(total, format.frames);
    return error;
}

// The raw format describes inputs without a header; one that has a header
// is read by it, with a notice.
std::optional<RawFormat> RawUnlessHeader(const std::optional<RawFormat>& raw, StreamHead& head, const Source* file,
                                         const DecodeCallbacks& callbacks) {
    if (!raw) return raw;
    const std::optional<std::string> format = KnownHeader(head, file);
    if (!format) return raw;
    callbacks.notice("has a header (" + *format + "): --raw-rate ignored");
    return std::nullopt;
}

ScanError DecodeRegularFile(int fd, off_t base, off_t size, const std::optional<RawFormat>& given,
                            const DecodeCallbacks& callbacks, const ScanTarget& target) {
    if (size <= base) return Fail(TONESCAN_EFORMAT, "file is empty");
    Source source;
    source.fd = fd;
    source.base = base;
    source.length = size - base;
    std::optional<RawFormat> raw;
    if (given) {
        StreamHead head(-1);
        head.bytes.resize(static_cast<std::size_t>(std::min<sf_count_t>(source.length, kFileHeaderBytes)));
        if (!source.ReadAt(0, head.bytes.data(), head.bytes.size())) head.bytes.clear();
        head.ended = true;
        raw = RawUnlessHeader(given, head, &source, callbacks);
    }
    // Presses before a cut are told before the cut is.
    ScanError cut;
    SF_INFO info{};
    if (raw) {
        info.samplerate = raw->rate;
        info.channels = raw->channels;
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
        if (auto decoded = DecodePcm(fd, size, static_cast<uint64_t>(base), static_cast<uint64_t>(size - base), info,
                                     callbacks, target)) {
            return *decoded;
        }
    } else if (const auto layout = FindWavData(
                   [&](uint64_t at, unsigned char* out, std::size_t n) { return source.ReadAt(at, out, n); })) {
        cut = CheckWavLength(*layout, source, callbacks);
        if (layout->raw && layout->data_at <= static_cast<uint64_t>(source.length)) {
            // The length the header promises, or all there is when it
            // promises none or a placeholder.
            const uint64_t present = static_cast<uint64_t>(source.length) - layout->data_at;
            uint64_t audio = layout->promised == 0 || layout->promised >= kPlaceholderLength
                                 ? present
                                 : std::min<uint64_t>(layout->promised, present);
            // A recorder that went past 4 GiB wrote its sizes modulo 2^32:
            // the length is the promised one plus as many 4 GiB as are there.
            constexpr uint64_t kWrap = uint64_t{1} << 32;
            if (ReadsAsPcm(*layout->raw) && audio == layout->promised && present - audio >= kWrap) {
                audio += (present - audio) / kWrap * kWrap;
                callbacks.notice("the WAV header's sizes wrapped past 4 GiB; scanning the " + std::to_string(audio) +
                                 " bytes of audio that follow it");
            }
            if (auto decoded = DecodePcm(fd, size, static_cast<uint64_t>(base) + layout->data_at, audio,
                                         *layout->raw, callbacks, target)) {
                return *decoded ? *decoded : cut;
            }
        }
    }
    ScanError error = DecodeSource(source, info, callbacks, target);
    return error ? error : cut;
}

ScanError ReadFailure(const std::string& error) { return Fail(TONESCAN_EREAD, error); }

ScanError DecodeWholeStream(StreamHead& head, const DecodeCallbacks& callbacks, const ScanTarget& target) {
    while (head.Need(head.bytes.size() + (std::size_t{1} << 16))) {
        if (callbacks.Cancelled()) return Cancelled();
    }
    if (!head.error.empty()) return ReadFailure(head.error);
    Source source;
    source.memory = std::move(head.bytes);
    source.length = static_cast<sf_count_t>(source.memory.size());
    // A WAV is held to its header's promise as a file is, after its presses.
    ScanError cut;
    if (const auto layout = FindWavData(
            [&](uint64_t at, unsigned char* out, std::size_t n) { return source.ReadAt(at, out, n); })) {
        cut = CheckWavLength(*layout, source, callbacks);
    }
    ScanError error = DecodeSource(source, SF_INFO{}, callbacks, target);
    return error ? error : cut;
}

ScanError DecodeStream(int fd, const char* empty, const std::optional<RawFormat>& given,
                       const DecodeCallbacks& callbacks, const ScanTarget& target) {
    StreamHead head(fd);
    // What is read to look for a header is kept, and passed on.
    head.Need(given ? kHeaderBytes : 12);
    if (!head.error.empty()) return ReadFailure(head.error);
    if (head.bytes.empty()) return Fail(TONESCAN_EFORMAT, empty);
    const std::optional<RawFormat> raw = RawUnlessHeader(given, head, nullptr, callbacks);

    SF_INFO info{};
    // A WAV stream whose length is unknown is read as the headerless audio it
    // holds, so that it is read to its end, not to a placeholder's.
    std::optional<WavLayout> layout;
    bool check_length = false;
    if (raw) {
        info.samplerate = raw->rate;
        info.channels = raw->channels;
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    } else if ((head.bytes.size() >= 4 && (std::memcmp(head.bytes.data(), "fLaC", 4) == 0 ||
                                           std::memcmp(head.bytes.data(), "caff", 4) == 0)) ||
               MpegAudio(head)) {
        // libsndfile cannot decode FLAC from a pipe, finds no audio in a CAF
        // there (without an error), and reads past its own buffer opening
        // MPEG audio there; they are read whole first.
        if (!head.error.empty()) return ReadFailure(head.error);
        return DecodeWholeStream(head, callbacks, target);
    } else {
        layout = FindWavData([&](uint64_t at, unsigned char* out, std::size_t n) { return head.ReadAt(at, out, n); });
        if (!head.error.empty()) return ReadFailure(head.error);
    }
    // Coded WAV audio of a known length is read as a file is: from a pipe,
    // libsndfile decodes IMA ADPCM past the end of a file cut short, and
    // GSM 6.10 not at all.
    const bool coded_wav = layout && !layout->raw && layout->promised != 0 && layout->promised < kPlaceholderLength;
    if (!raw && (coded_wav || ((!layout || !layout->raw) && ReadsWhole(head, layout.has_value())))) {
        return DecodeWholeStream(head, callbacks, target);
    }
    if (layout && layout->promised == 0) {
        callbacks.notice("the WAV header gives no length for its audio; reading it to the end of the stream");
    }
    if (layout && layout->raw && (layout->promised == 0 || layout->promised >= kPlaceholderLength)) {
        info = *layout->raw;
        head.Need(static_cast<std::size_t>(layout->data_at));
        head.bytes.erase(head.bytes.begin(), head.bytes.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(
                                                                      layout->data_at, head.bytes.size())));
    } else if (layout && layout->promised == 0) {
        const std::size_t at = static_cast<std::size_t>(layout->length_at);
        std::fill(head.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                  head.bytes.begin() + static_cast<std::ptrdiff_t>(at + 4), static_cast<unsigned char>(0xFF));
    } else if (layout) {
        check_length = layout->promised < kPlaceholderLength;
    }

    const std::vector<unsigned char> start(head.bytes.begin(), head.bytes.begin() + std::min<std::ptrdiff_t>(
                                                                    8, static_cast<std::ptrdiff_t>(head.bytes.size())));
    if (!raw && !layout && FalseMpeg(head)) {
        if (!head.error.empty()) return ReadFailure(head.error);
        return NeitherReads(kFalseMpeg, start);
    }
    PipeFeeder feeder;
    if (std::string error = feeder.Start(fd, std::move(head.bytes)); !error.empty()) return ReadFailure(error);
    SndfilePtr file;
    {
        std::lock_guard lock(open_mutex);
        file.reset(sf_open_fd(feeder.ReadEnd(), SFM_READ, &info, SF_FALSE));
        if (!file) {
            const std::string reason = sf_strerror(nullptr);
            if (std::string error = feeder.Stop(); !error.empty()) return ReadFailure(error);
            return NeitherReads(reason, start);
        }
    }
    sf_count_t total = 0;
    ScanError error = Decode(file.get(), info, callbacks, target, true, total);
    file.reset();
    if (std::string read_error = feeder.Stop(); !read_error.empty()) return ReadFailure(read_error);
    if (error) return error;
    if (check_length && total < info.frames) return Truncated(total, info.frames);
    return {};
}

}

ScanError DecodeForScan(const std::string& path, int fd, const std::optional<RawFormat>& raw,
                        const DecodeCallbacks& callbacks, const ScanTarget& target) {
    Descriptor input;
    const bool standard_input = path == "-";
    if (path.empty()) {
        input.fd = fd;
    } else if (standard_input) {
        input.fd = STDIN_FILENO;
    } else {
        input.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (input.fd < 0) return Fail(TONESCAN_EOPEN, ErrnoText());
        input.owned = true;
    }
    struct stat status {};
    if (fstat(input.fd, &status) != 0) return Fail(TONESCAN_EOPEN, ErrnoText());
    if (S_ISDIR(status.st_mode)) return Fail(TONESCAN_EOPEN, "is a directory");
    const char* empty = standard_input ? "standard input is empty" : "input is empty";
    // Pseudo-files (/proc, /sys) say they are empty and hold data: they are
    // read as streams.
    if (S_ISREG(status.st_mode) && status.st_size == 0) {
        return DecodeStream(input.fd, "file is empty", raw, callbacks, target);
    }
    if (S_ISREG(status.st_mode)) {
        const off_t base = path != "-" && !path.empty() ? 0 : std::max<off_t>(lseek(input.fd, 0, SEEK_CUR), 0);
        return DecodeRegularFile(input.fd, base, status.st_size, raw, callbacks, target);
    }
    return DecodeStream(input.fd, empty, raw, callbacks, target);
}

}
