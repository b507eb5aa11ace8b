#include "frames.h"

#include <FLAC/stream_decoder.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "filters.h"

namespace tonescan {

std::mutex open_mutex;

FrameReader FileFrames(int fd, off_t at, sf_count_t frames, std::size_t frame_bytes, ReadFault& fault) {
    std::vector<unsigned char> buffer;
    return [fd, at, frames, frame_bytes, &fault, buffer](sf_count_t wanted) mutable {
        const sf_count_t n = std::min(wanted, frames);
        buffer.resize(static_cast<std::size_t>(n) * frame_bytes);
        const ssize_t got = n == 0 ? 0 : ReadFully(fd, buffer.data(), buffer.size(), at);
        if (got < 0) {
            fault.error.store(errno);
            frames = 0;
            return std::span<const unsigned char>();
        }
        const std::size_t whole = static_cast<std::size_t>(got) / frame_bytes * frame_bytes;
        if (whole < buffer.size()) {
            fault.ended_early.store(true);
            frames = 0;
        } else {
            frames -= n;
        }
        at += static_cast<off_t>(whole);
        return std::span<const unsigned char>(buffer.data(), whole);
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

namespace {

class FlacReader {
public:
    static std::optional<FrameReader> Open(int fd, off_t base, sf_count_t length, sf_count_t first,
                                           const SF_INFO& info) {
        auto flac = std::make_shared<FlacReader>(fd, base, length, info.channels);
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

    FlacReader(int fd, off_t base, sf_count_t length, int channels)
        : fd_(fd), base_(base), length_(length), channels_(static_cast<std::size_t>(channels)),
          decoder_(FLAC__stream_decoder_new()) {}
    FlacReader(const FlacReader&) = delete;
    FlacReader& operator=(const FlacReader&) = delete;
    ~FlacReader() {
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

    static FlacReader& Of(void* self) { return *static_cast<FlacReader*>(self); }

    static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte* out, size_t* bytes, void* self) {
        FlacReader& f = Of(self);
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
        FlacReader& f = Of(self);
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
        FlacReader& f = Of(self);
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

}

std::optional<FrameReader> FlacFrames(int fd, off_t base, sf_count_t length, sf_count_t first, const SF_INFO& info) {
    return FlacReader::Open(fd, base, length, first, info);
}

}
