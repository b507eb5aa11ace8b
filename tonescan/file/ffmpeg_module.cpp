// libtonescan's FFmpeg reader, a module of its own (see ffmpeg_module.h):
// AAC and ALAC in MP4/M4A, AMR-NB and AMR-WB, G.722, G.729, Opus in WebM or
// Matroska, an audio stream of a video file, decoded by FFmpeg's libraries
// (AMR by OpenCORE's) to interleaved floats.
#include "ffmpeg_module.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}
#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrwb/dec_if.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tonescan.h"

#define TONESCAN_FFMPEG_EXPORT __attribute__((visibility("default")))

namespace {

constexpr int kIoBytes = 1 << 16;

// The libraries log to standard error unless told otherwise, and a library
// must print nothing; a level the host has chosen is left as it is.
void Quiet() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_QUIET);
    });
}

std::string ErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

// FFmpeg's I/O over the caller's source, with a position of its own.
struct AvioSource {
    const tonescan_ffmpeg_source& source;
    int64_t position = 0;
    int read_error = 0;

    static int Read(void* self, uint8_t* out, int size) {
        AvioSource& io = *static_cast<AvioSource*>(self);
        const int64_t n = std::clamp<int64_t>(io.source.length - io.position, 0, size);
        if (n == 0) return AVERROR_EOF;
        if (const int error = io.source.read_at(io.source.user, io.position, out, static_cast<std::size_t>(n));
            error != 0) {
            if (error > 0) io.read_error = error;
            return error > 0 ? AVERROR(error) : AVERROR_EOF;
        }
        io.position += n;
        return static_cast<int>(n);
    }

    static int64_t Seek(void* self, int64_t offset, int whence) {
        AvioSource& io = *static_cast<AvioSource*>(self);
        if ((whence & AVSEEK_SIZE) != 0) return io.source.length;
        whence &= ~AVSEEK_FORCE;
        const int64_t origin = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? io.position : io.source.length;
        if (offset > io.source.length || offset < -io.source.length) return AVERROR(EINVAL);
        const int64_t target = origin + offset;
        if (target < 0 || target > io.source.length) return AVERROR(EINVAL);
        io.position = target;
        return target;
    }
};

struct DictionaryFreer {
    void operator()(AVDictionary** dictionary) const { av_dict_free(dictionary); }
};
struct IoCloser {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FormatCloser {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct CodecCloser {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct PacketCloser {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameCloser {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// One decoded frame's samples as interleaved floats, whatever their layout.
template <typename T, typename Scale>
void Interleave(const AVFrame& frame, std::size_t channels, bool planar, float* out, Scale scale) {
    const auto n = static_cast<std::size_t>(frame.nb_samples);
    for (std::size_t c = 0; c < channels; ++c) {
        const T* in = reinterpret_cast<const T*>(frame.extended_data[planar ? c : 0]);
        for (std::size_t i = 0; i < n; ++i) out[i * channels + c] = scale(in[planar ? i : i * channels + c]);
    }
}

bool ToFloats(const AVFrame& frame, std::size_t channels, float* out) {
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
            Interleave<uint8_t>(frame, channels, planar, out, [](uint8_t v) { return (v - 128) * (1.0f / 128); });
            return true;
        case AV_SAMPLE_FMT_S16:
            Interleave<int16_t>(frame, channels, planar, out, [](int16_t v) { return v * (1.0f / 32768); });
            return true;
        case AV_SAMPLE_FMT_S32:
            Interleave<int32_t>(frame, channels, planar, out,
                                [](int32_t v) { return static_cast<float>(v * (1.0 / 2147483648.0)); });
            return true;
        case AV_SAMPLE_FMT_FLT:
            Interleave<float>(frame, channels, planar, out, [](float v) { return v; });
            return true;
        case AV_SAMPLE_FMT_DBL:
            Interleave<double>(frame, channels, planar, out, [](double v) { return static_cast<float>(v); });
            return true;
        default:
            return false;
    }
}

std::string Describe(const AVInputFormat& format) {
    return std::string("a ") + (format.long_name != nullptr ? format.long_name : format.name) + " file";
}

// A failure: a TONESCAN_E* code and its details.
struct Failure {
    int code = TONESCAN_OK;
    std::string text;
    explicit operator bool() const { return code != TONESCAN_OK; }
};

Failure Fail(int code, std::string text) { return {code, std::move(text)}; }

// AMR through OpenCORE's decoders, not FFmpeg's own: these refuse the
// comfort noise and no-data frames that a recorder writes in pauses, and the
// keys that follow a pause come out of them damaged. A packet holds whole
// frames in the storage format: a header byte, then the frame's bits.
class AmrDecoder {
public:
    explicit AmrDecoder(bool wide)
        : wide_(wide), state_(wide ? D_IF_init() : Decoder_Interface_init()) {}
    AmrDecoder(const AmrDecoder&) = delete;
    AmrDecoder& operator=(const AmrDecoder&) = delete;
    ~AmrDecoder() {
        if (state_ == nullptr) return;
        if (wide_) {
            D_IF_exit(state_);
        } else {
            Decoder_Interface_exit(state_);
        }
    }

    bool Ready() const { return state_ != nullptr; }
    int Rate() const { return wide_ ? 16000 : 8000; }

    // The packet's samples, or false when it ends inside a frame.
    bool Decode(const AVPacket& packet, std::vector<float>& out) {
        static constexpr int kNarrowBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 6, 5, 5, 0, 0, 0, 0};
        static constexpr int kWideBytes[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, 0, 0, 0, 0, 0, 0};
        const std::size_t samples = wide_ ? 320 : 160;
        out.clear();
        for (int at = 0; at < packet.size;) {
            const int type = (packet.data[at] >> 3) & 0x0F;
            const int length = 1 + (wide_ ? kWideBytes : kNarrowBytes)[type];
            if (length > packet.size - at) return false;
            // The decoders read a whole frame of the largest mode.
            unsigned char frame[64] = {};
            std::memcpy(frame, packet.data + at, static_cast<std::size_t>(length));
            short pcm[320];
            if (wide_) {
                D_IF_decode(state_, frame, pcm, 0);
            } else {
                Decoder_Interface_Decode(state_, frame, pcm, 0);
            }
            for (std::size_t i = 0; i < samples; ++i) out.push_back(pcm[i] * (1.0f / 32768));
            at += length;
        }
        return true;
    }

private:
    bool wide_;
    void* state_;
};

// Headerless bitstreams, whose bytes no probe recognises, known by the file
// name's extension alone: G.722 and G.729 as a gateway or a call recorder
// writes them, G.729 at its 8 kbit/s (10 bytes per 10 ms frame).
const AVInputFormat* Bitstream(const std::string& name, AVDictionary*& options) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return nullptr;
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == "g722") return av_find_input_format("g722");
    if (extension != "g729") return nullptr;
    av_dict_set(&options, "bit_rate", "8000", 0);
    return av_find_input_format("g729");
}

Failure Unreadable(const std::string& what) {
    return Fail(TONESCAN_EFORMAT, "not a readable audio file: " + what);
}

class FfmpegDecoder {
public:
    FfmpegDecoder(const tonescan_ffmpeg_source& source, const tonescan_ffmpeg_sink& sink,
                  const tonescan_ffmpeg_request& request)
        : io_{source}, sink_(sink), stream_number_(request.stream), name_(request.name != nullptr ? request.name : "") {}

    Failure Run() {
        Quiet();
        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBytes));
        if (buffer == nullptr) return Fail(TONESCAN_ENOMEM, "out of memory");
        avio_.reset(avio_alloc_context(buffer, kIoBytes, 0, &io_, AvioSource::Read, nullptr, AvioSource::Seek));
        if (!avio_) {
            av_free(buffer);
            return Fail(TONESCAN_ENOMEM, "out of memory");
        }
        // A weak guess (any bytes may look like MPEG audio) is no format.
        const AVInputFormat* found = nullptr;
        AVDictionary* options = nullptr;
        if (av_probe_input_buffer2(avio_.get(), &found, "", nullptr, 0, 0) <= AVPROBE_SCORE_RETRY ||
            found == nullptr) {
            if (Failure error = ReadError()) return error;
            found = Bitstream(name_, options);
        }
        std::unique_ptr<AVDictionary*, DictionaryFreer> owned_options(&options);
        if (found == nullptr) return Fail(TONESCAN_FFMPEG_UNKNOWN, "");
        AVFormatContext* format = avformat_alloc_context();
        if (format == nullptr) return Fail(TONESCAN_ENOMEM, "out of memory");
        format->pb = avio_.get();
        format->flags |= AVFMT_FLAG_CUSTOM_IO;
        // On failure the context is freed.
        if (const int error = avformat_open_input(&format, nullptr, found, &options); error < 0) {
            if (Failure read_error = ReadError()) return read_error;
            return Unreadable("FFmpeg finds " + Describe(*found) + " but cannot open it (" + ErrorText(error) +
                              "); a file cut short or still being written may lack its index");
        }
        format_.reset(format);
        if (const int error = avformat_find_stream_info(format, nullptr); error < 0) {
            if (Failure read_error = ReadError()) return read_error;
            return Unreadable("FFmpeg finds " + Describe(*found) + " but cannot read its streams (" +
                              ErrorText(error) + ")");
        }
        return Decode(*found);
    }

private:
    Failure ReadError() const {
        if (io_.read_error == 0) return {};
        return Fail(TONESCAN_EREAD, std::string("read error: ") + std::strerror(io_.read_error));
    }

    static Failure Stopped() { return Fail(TONESCAN_FFMPEG_STOPPED, ""); }

    Failure Decode(const AVInputFormat& found) {
        AVStream* stream = nullptr;
        const int wanted = std::max(stream_number_, 1);
        int audio = 0;
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && ++audio == wanted) {
                stream = format_->streams[i];
            } else {
                format_->streams[i]->discard = AVDISCARD_ALL;
            }
        }
        if (audio == 0) return Unreadable(Describe(found) + " with no audio stream");
        if (stream == nullptr) {
            return Fail(TONESCAN_ECHANNEL, "has no audio stream " + std::to_string(wanted) + ", only " +
                                               std::to_string(audio));
        }
        const AVCodecID id = stream->codecpar->codec_id;
        if (id == AV_CODEC_ID_AMR_NB || id == AV_CODEC_ID_AMR_WB) {
            amr_.emplace(id == AV_CODEC_ID_AMR_WB);
            if (!amr_->Ready()) return Fail(TONESCAN_ENOMEM, "out of memory");
        }
        const AVCodec* codec = avcodec_find_decoder(id);
        char tag[32];
        std::snprintf(tag, sizeof tag, "audio tagged 0x%04x", stream->codecpar->codec_tag);
        const std::string what =
            (id == AV_CODEC_ID_NONE ? std::string(tag) : std::string(avcodec_get_name(id)) + " audio") + " in " +
            Describe(found);
        if (codec == nullptr && !amr_) {
            return Unreadable(what + ", which this FFmpeg cannot decode; convert it to WAV with a program that can");
        }
        if (!amr_) {
            codec_.reset(avcodec_alloc_context3(codec));
            if (!codec_) return Fail(TONESCAN_ENOMEM, "out of memory");
            if (avcodec_parameters_to_context(codec_.get(), stream->codecpar) < 0 ||
                avcodec_open2(codec_.get(), codec, nullptr) < 0) {
                return Unreadable(what + ", whose decoder does not accept its parameters");
            }
        }
        stream_ = stream->index;
        // A length guessed from the bit rate (AMR, ADTS) shows progress but
        // is no promise; nor is the container's own length when it holds
        // other streams (Matroska gives no length per stream), as the video
        // or another track may go on after this one has ended.
        exact_ = format_->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
            promised_ = av_q2d(stream->time_base) * static_cast<double>(stream->duration);
        } else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
            promised_ = static_cast<double>(format_->duration) / AV_TIME_BASE;
            exact_ = exact_ && format_->nb_streams == 1;
        }
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        if (!packet_ || !frame_) return Fail(TONESCAN_ENOMEM, "out of memory");

        int got = 0;
        while ((got = av_read_frame(format_.get(), packet_.get())) >= 0) {
            Failure error;
            if (packet_->stream_index == stream_) {
                error = amr_ ? Amr(*packet_) : Send(packet_.get());
                // A packet cut off by the end of the file.
                if (error && error.code == TONESCAN_EREAD &&
                    ((packet_->flags & AV_PKT_FLAG_CORRUPT) != 0 || avio_feof(format_->pb) != 0)) {
                    error = Cut();
                }
            }
            av_packet_unref(packet_.get());
            if (error) return error;
            if (sink_.cancelled(sink_.user) != 0) return Stopped();
        }
        if (Failure error = ReadError()) return error;
        if (Failure error = amr_ ? Failure{} : Send(nullptr)) return error;
        if (!started_) return got == AVERROR_EOF ? Unreadable(what + " without a single decoded sample") : Short(got);
        if (sink_.finish(sink_.user) != 0) return Stopped();
        // The container's duration covers the codec's padding too: a file is
        // short when it ends a tenth of a second or more before it.
        const double decoded = static_cast<double>(total_) / rate_;
        if (got != AVERROR_EOF || (exact_ && promised_ > 0 && decoded + 0.1 < promised_)) return Short(got);
        return {};
    }

    Failure Short(int error) const {
        const double decoded = rate_ > 0 ? static_cast<double>(total_) / rate_ : 0.0;
        if (exact_ && promised_ > 0 && decoded + 0.1 < promised_) {
            char text[128];
            std::snprintf(text, sizeof text, "file is truncated: decoded %.3f of %.3f seconds", decoded, promised_);
            return Fail(TONESCAN_ETRUNCATED, text);
        }
        return Fail(TONESCAN_EREAD, "reading failed: " + ErrorText(error));
    }

    Failure Cut() const {
        char text[128];
        std::snprintf(text, sizeof text, "file is truncated: its last packet is cut short at %.3f seconds",
                      rate_ > 0 ? static_cast<double>(total_) / rate_ : 0.0);
        return Fail(TONESCAN_ETRUNCATED, text);
    }

    // One packet to the decoder (none: the end), and what comes out of it on.
    Failure Send(const AVPacket* packet) {
        if (const int error = avcodec_send_packet(codec_.get(), packet); error < 0 && error != AVERROR_EOF) {
            return Fail(TONESCAN_EREAD, "decoding failed: " + ErrorText(error));
        }
        for (;;) {
            const int error = avcodec_receive_frame(codec_.get(), frame_.get());
            if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return {};
            if (error < 0) return Fail(TONESCAN_EREAD, "decoding failed: " + ErrorText(error));
            Failure pushed = Push(*frame_);
            av_frame_unref(frame_.get());
            if (pushed) return pushed;
        }
    }

    // The rate and channels come with the first samples: a decoder may
    // change what the container says (HE-AAC doubles the rate).
    Failure Start(int rate, int channels) {
        if (channels < 1 || rate < 1) return Fail(TONESCAN_EFORMAT, "no audio channels or no sample rate");
        rate_ = rate;
        channels_ = channels;
        started_ = true;
        return sink_.start(sink_.user, rate, channels) != 0 ? Stopped() : Failure{};
    }

    Failure Amr(const AVPacket& packet) {
        if (!started_) {
            if (Failure error = Start(amr_->Rate(), 1)) return error;
        }
        if (!amr_->Decode(packet, interleaved_)) {
            return Fail(TONESCAN_EREAD, "decoding failed: an AMR frame is cut short");
        }
        return Pushed(interleaved_.size());
    }

    Failure Pushed(std::size_t frames) {
        total_ += static_cast<int64_t>(frames);
        const double fraction = promised_ > 0 ? std::min(1.0, static_cast<double>(total_) / rate_ / promised_) : -1.0;
        return sink_.frames(sink_.user, interleaved_.data(), frames, fraction) != 0 ? Stopped() : Failure{};
    }

    Failure Push(const AVFrame& frame) {
        const int channels = frame.ch_layout.nb_channels;
        if (!started_) {
            if (Failure error = Start(frame.sample_rate, channels)) return error;
        }
        if (frame.sample_rate != rate_ || channels != channels_) {
            return Fail(TONESCAN_EREAD, "decoding failed: the audio changes its rate or channel count part way");
        }
        const auto n = static_cast<std::size_t>(frame.nb_samples);
        interleaved_.resize(n * static_cast<std::size_t>(channels_));
        if (!ToFloats(frame, static_cast<std::size_t>(channels_), interleaved_.data())) {
            return Fail(TONESCAN_EFORMAT, std::string("not a readable audio file: samples as ") +
                                              av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame.format)));
        }
        return Pushed(n);
    }

    AvioSource io_;
    const tonescan_ffmpeg_sink& sink_;
    int stream_number_;
    std::string name_;
    std::unique_ptr<AVIOContext, IoCloser> avio_;
    std::unique_ptr<AVFormatContext, FormatCloser> format_;
    std::unique_ptr<AVCodecContext, CodecCloser> codec_;
    std::unique_ptr<AVPacket, PacketCloser> packet_;
    std::unique_ptr<AVFrame, FrameCloser> frame_;
    int stream_ = -1;
    double promised_ = 0;
    bool exact_ = false;
    int rate_ = 0;
    int channels_ = 0;
    int64_t total_ = 0;
    bool started_ = false;
    std::optional<AmrDecoder> amr_;
    std::vector<float> interleaved_;
};

int Read(const tonescan_ffmpeg_source* source, const tonescan_ffmpeg_sink* sink,
         const tonescan_ffmpeg_request* request, char* message, std::size_t message_size) {
    Failure failure;
    try {
        failure = FfmpegDecoder(*source, *sink, *request).Run();
    } catch (const std::bad_alloc&) {
        failure = Fail(TONESCAN_ENOMEM, "out of memory");
    } catch (...) {
        failure = Fail(TONESCAN_EINTERNAL, "the FFmpeg reader failed");
    }
    if (message_size > 0) std::snprintf(message, message_size, "%s", failure.text.c_str());
    return failure.code;
}

const char* Probe(const unsigned char* bytes, std::size_t size) {
    Quiet();
    std::vector<unsigned char> padded(size + AVPROBE_PADDING_SIZE);
    std::copy(bytes, bytes + size, padded.begin());
    AVProbeData probe{};
    probe.filename = "";
    probe.buf = padded.data();
    probe.buf_size = static_cast<int>(size);
    int score = 0;
    const AVInputFormat* found = av_probe_input_format3(&probe, 1, &score);
    return found == nullptr || score <= AVPROBE_SCORE_RETRY ? nullptr : found->name;
}

}

extern "C" TONESCAN_FFMPEG_EXPORT const tonescan_ffmpeg_reader tonescan_ffmpeg_reader_1 = {Read, Probe};
