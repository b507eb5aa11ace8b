#include "frames.h"

#include <FLAC/stream_decoder.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
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
    static std::optional<FrameReader> Open(const Source& source, sf_count_t first, const SF_INFO& info,
                                           const FlacDamage& damaged) {
        auto flac = std::make_shared<FlacReader>(source, info.channels, damaged);
        // A seek hands over the frame it lands in.
        flac->next_ = first;
        if (flac->decoder_ == nullptr ||
            FLAC__stream_decoder_init_stream(flac->decoder_, Read, Seek, Tell, Length, Eof, Write, Metadata, Error,
                                             flac.get()) != FLAC__STREAM_DECODER_INIT_STATUS_OK ||
            !FLAC__stream_decoder_process_until_end_of_metadata(flac->decoder_) || flac->bits_ != 16 ||
            flac->channels_in_file_ != info.channels ||
            (info.frames != kUnknownFrames && flac->frames_ != info.frames) ||
            (first > 0 && !FLAC__stream_decoder_seek_absolute(flac->decoder_, static_cast<FLAC__uint64>(first)))) {
            return std::nullopt;
        }
        return [flac](sf_count_t wanted) { return flac->Next(wanted); };
    }

    FlacReader(const Source& source, int channels, const FlacDamage& damaged)
        : source_(source), channels_(static_cast<std::size_t>(channels)), damaged_(damaged),
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
        const auto ended = [&] {
            return FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_END_OF_STREAM;
        };
        while (pending_.size() < samples && !failed_) {
            if (gap_ > 0) {
                // A gap is handed over a read at a time: it may be long.
                const auto room = static_cast<sf_count_t>((samples - pending_.size()) / channels_);
                const sf_count_t silence = std::min(gap_, room);
                pending_.resize(pending_.size() + static_cast<std::size_t>(silence) * channels_, 0);
                gap_ -= silence;
                if (gap_ == 0) {
                    pending_.insert(pending_.end(), after_gap_.begin(), after_gap_.end());
                    after_gap_.clear();
                }
            } else if (!ended()) {
                if (!FLAC__stream_decoder_process_single(decoder_)) failed_ = true;
            } else {
                // Sync lost at the end is a file cut short: the frames it
                // lacks are left for the caller to count.
                TellDamage();
                break;
            }
        }
        taken_ = failed_ ? 0 : std::min(samples, pending_.size());
        return {reinterpret_cast<const unsigned char*>(pending_.data()), taken_ * sizeof(int16_t)};
    }

    // Damage next to damage is told once, as one stretch.
    void Damage(sf_count_t at, sf_count_t frames) {
        if (damage_frames_ > 0 && damage_at_ + damage_frames_ != at) TellDamage();
        if (damage_frames_ == 0) damage_at_ = at;
        damage_frames_ += frames;
    }
    void TellDamage() {
        if (damage_frames_ > 0) damaged_(damage_at_, damage_frames_);
        damage_frames_ = 0;
    }

    static bool Silent(const FLAC__int32* const buffer[], std::size_t channels, std::size_t n) {
        for (std::size_t c = 0; c < channels; ++c) {
            if (std::any_of(buffer[c], buffer[c] + n, [](FLAC__int32 s) { return s != 0; })) return false;
        }
        return true;
    }

    static FlacReader& Of(void* self) { return *static_cast<FlacReader*>(self); }

    static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte* out, size_t* bytes, void* self) {
        FlacReader& f = Of(self);
        const Source& source = f.source_;
        const std::size_t n = static_cast<std::size_t>(std::clamp<sf_count_t>(
            source.length - f.position_, 0, static_cast<sf_count_t>(*bytes)));
        ssize_t got = static_cast<ssize_t>(n);
        if (source.fd < 0) {
            if (n > 0) std::memcpy(out, source.memory.data() + f.position_, n);
        } else if (n > 0) {
            got = ReadFully(source.fd, out, n, source.base + f.position_);
        }
        if (got < 0) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        *bytes = static_cast<std::size_t>(got);
        f.position_ += got;
        return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }
    static FLAC__StreamDecoderSeekStatus Seek(const FLAC__StreamDecoder*, FLAC__uint64 at, void* self) {
        if (at > static_cast<FLAC__uint64>(Of(self).source_.length)) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
        Of(self).position_ = static_cast<sf_count_t>(at);
        return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
    }
    static FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* at, void* self) {
        *at = static_cast<FLAC__uint64>(Of(self).position_);
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }
    static FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* length, void* self) {
        *length = static_cast<FLAC__uint64>(Of(self).source_.length);
        return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    }
    static FLAC__bool Eof(const FLAC__StreamDecoder*, void* self) {
        return Of(self).position_ >= Of(self).source_.length;
    }
    static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const buffer[], void* self) {
        FlacReader& f = Of(self);
        // libFLAC hands over a frame that failed its check as silence; nothing
        // of it is trusted, not even its length: the next sound frame's
        // number measures the gap.
        if (f.crc_failed_) {
            f.crc_failed_ = false;
            f.lost_sync_ = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        }
        if (frame->header.channels != f.channels_ || frame->header.bits_per_sample != 16) {
            f.failed_ = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        const std::size_t n = frame->header.blocksize;
        const sf_count_t start = frame->header.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                                     ? static_cast<sf_count_t>(frame->header.number.sample_number)
                                     : static_cast<sf_count_t>(frame->header.number.frame_number) *
                                           static_cast<sf_count_t>(n);
        // After lost sync libFLAC fills the frames it could not decode with
        // silence of their own numbers; they are damage too.
        if (f.lost_sync_ && start == f.next_ && Silent(buffer, f.channels_, n)) {
            f.Damage(start, static_cast<sf_count_t>(n));
        } else {
            f.lost_sync_ = false;
            f.TellDamage();
        }
        // What overlaps frames already handed over is dropped.
        const std::size_t skip =
            static_cast<std::size_t>(std::clamp<sf_count_t>(f.next_ - start, 0, static_cast<sf_count_t>(n)));
        // The frames lost before this one become silence, so that what
        // follows keeps its time; this frame waits until they are handed over.
        const sf_count_t lost = std::max<sf_count_t>(0, start - f.next_);
        if (lost > 0) f.Damage(f.next_, lost);
        f.gap_ = lost;
        f.next_ = std::max(f.next_, start + static_cast<sf_count_t>(n));
        Buffer<int16_t>& to = lost > 0 ? f.after_gap_ : f.pending_;
        const std::size_t old = to.size();
        to.resize(old + (n - skip) * f.channels_);
        int16_t* out = to.data() + old;
        if (f.channels_ == 1) {
            for (std::size_t i = skip; i < n; ++i) *out++ = static_cast<int16_t>(buffer[0][i]);
        } else {
            for (std::size_t i = skip; i < n; ++i) {
                *out++ = static_cast<int16_t>(buffer[0][i]);
                *out++ = static_cast<int16_t>(buffer[1][i]);
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
    // libFLAC reads on after each of these, looking for the next frame.
    static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* self) {
        if (status == FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH) {
            Of(self).crc_failed_ = true;
        } else {
            Of(self).lost_sync_ = true;
        }
    }

    const Source& source_;
    sf_count_t position_ = 0;
    std::size_t channels_;
    FlacDamage damaged_;
    FLAC__StreamDecoder* decoder_;
    // The first frame of the stream not yet handed over.
    sf_count_t next_ = 0;
    // Silence still owed for frames lost to damage, and the frame after them.
    sf_count_t gap_ = 0;
    Buffer<int16_t> after_gap_;
    // A stretch of damage not yet told.
    sf_count_t damage_at_ = 0;
    sf_count_t damage_frames_ = 0;
    bool crc_failed_ = false;
    bool lost_sync_ = false;
    unsigned bits_ = 0;
    int channels_in_file_ = 0;
    sf_count_t frames_ = -1;
    bool failed_ = false;
    Buffer<int16_t> pending_;
    std::size_t taken_ = 0;
};

}

std::optional<FrameReader> FlacFrames(const Source& source, sf_count_t first, const SF_INFO& info,
                                      const FlacDamage& damaged) {
    return FlacReader::Open(source, first, info, damaged);
}

}
