#include "ffmpeg_frames.h"

#include <dlfcn.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "ffmpeg_module.h"
#include "frames.h"
#include "input.h"
#include "mix.h"
#include "rate_converter.h"
#include "tonescan.h"

namespace tonescan {

namespace {

// How many bytes of an input neither library reads its error shows.
constexpr std::size_t kShownBytes = 8;
// How much of a stream FFmpeg's probe sees before it is decided.
constexpr std::size_t kProbeBytes = 2048;

// The reader, loaded once for the process the first time an input needs it,
// and kept: loading it again for every file would cost what it saves.
struct Module {
    const tonescan_ffmpeg_reader* reader = nullptr;
    std::string error;
};

const Module& LoadModule() {
    static const Module module = [] {
        Module loaded;
        Dl_info self{};
        if (dladdr(reinterpret_cast<const void*>(&LoadModule), &self) == 0 || self.dli_fname == nullptr ||
            std::strchr(self.dli_fname, '/') == nullptr) {
            loaded.error = "libtonescan cannot tell where it is installed";
            return loaded;
        }
        const std::string own = self.dli_fname;
        const std::string path = own.substr(0, own.rfind('/')) + "/tonescan/ffmpeg.so";
        // Bound lazily, as the libraries were when linked: binding all of
        // FFmpeg's symbols up front would cost a short file's scan more.
        void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            loaded.error = why != nullptr ? why : path + " cannot be loaded";
            return loaded;
        }
        loaded.reader = static_cast<const tonescan_ffmpeg_reader*>(dlsym(handle, TONESCAN_FFMPEG_READER));
        if (loaded.reader == nullptr) loaded.error = path + " is not this libtonescan's FFmpeg reader";
        return loaded;
    }();
    return module;
}

ScanError Missing(const std::string& sndfile_reason, const std::string& why) {
    return Fail(TONESCAN_EFORMAT, "not a readable audio file: libsndfile cannot read it (" + sndfile_reason +
                                      ") and FFmpeg's reader is not there (" + why +
                                      "); install libtonescan0 with FFmpeg's libraries (libavformat, "
                                      "libavcodec) to read AAC, AMR, G.722, G.729, Opus and video files");
}

// The module's sink: the frames, mixed down and converted to the target's
// rate, to the decoding's callbacks.
class Sink {
public:
    Sink(const DecodeCallbacks& callbacks, const ScanTarget& target) : callbacks_(callbacks), target_(target) {}

    tonescan_ffmpeg_sink Callbacks() {
        return {this, [](void* self, int rate, int channels) { return static_cast<Sink*>(self)->Start(rate, channels); },
                [](void* self, const float* frames, std::size_t count, double fraction) {
                    return static_cast<Sink*>(self)->Frames(frames, count, fraction);
                },
                [](void* self) { return static_cast<Sink*>(self)->Finish(); },
                [](void* self) { return static_cast<Sink*>(self)->callbacks_.Cancelled() ? 1 : 0; }};
    }

    // Why the sink stopped the reading.
    ScanError Stopped() const {
        if (error_) return error_;
        return Fail(TONESCAN_ECANCELLED, "cancelled");
    }

private:
    int Start(int rate, int channels) {
        SF_INFO info{};
        info.channels = channels;
        info.samplerate = rate;
        // The stream is chosen already; this checks the channel.
        ScanTarget chosen = target_;
        chosen.stream = 0;
        if ((error_ = ChannelProblem(info, chosen))) return 1;
        channels_ = static_cast<std::size_t>(channels);
        callbacks_.rate(rate);
        converter_.emplace(callbacks_.samples);
        return Converting(converter_->Open(rate, target_.rate, false, callbacks_.threads > 1));
    }

    int Frames(const float* frames, std::size_t count, double fraction) {
        mono_.resize(count);
        MixFloats(frames, count, channels_, target_.channel, mono_.data());
        if (Converting(converter_->Push({mono_.data(), count})) != 0) return 1;
        if (fraction >= 0) callbacks_.progress(fraction);
        return 0;
    }

    int Finish() { return Converting(converter_->Flush(1)); }

    int Converting(std::string error) {
        if (error.empty()) return 0;
        error_ = Fail(TONESCAN_EINTERNAL, std::move(error));
        return 1;
    }

    const DecodeCallbacks& callbacks_;
    const ScanTarget& target_;
    std::size_t channels_ = 1;
    std::optional<RateConverter> converter_;
    std::vector<float> mono_;
    ScanError error_;
};

// FFmpeg's names of the formats libsndfile reads as they come down a pipe.
constexpr const char* kSndfileFormats[] = {"wav", "aiff", "au", "ogg", "mp3", "w64", "caf", "voc", "nistsphere",
                                           "ircam", "sdx"};

}

ScanError NeitherReads(const std::string& sndfile_reason, std::span<const unsigned char> start) {
    if (const Module& module = LoadModule(); module.reader == nullptr) return Missing(sndfile_reason, module.error);
    std::string bytes;
    for (std::size_t i = 0; i < std::min(start.size(), kShownBytes); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", start[i]);
        bytes += hex;
    }
    return Fail(TONESCAN_EFORMAT, "not a readable audio file: neither libsndfile (" + sndfile_reason +
                                      ") nor FFmpeg knows its format; it starts with " + bytes +
                                      "; headerless 16-bit PCM is read when its rate is given (dtmf-scan --raw-rate)");
}

ScanError DecodeUnrecognised(Source& source, const std::string& sndfile_reason, const DecodeCallbacks& callbacks,
                             const ScanTarget& target) {
    const Module& module = LoadModule();
    if (module.reader == nullptr) return Missing(sndfile_reason, module.error);
    const tonescan_ffmpeg_source input{
        &source, source.length, [](void* user, int64_t offset, unsigned char* out, std::size_t n) {
            Source& from = *static_cast<Source*>(user);
            if (from.ReadAt(static_cast<uint64_t>(offset), out, n)) return 0;
            return from.read_error != 0 ? from.read_error : -1;
        }};
    Sink sink(callbacks, target);
    const tonescan_ffmpeg_sink output = sink.Callbacks();
    const tonescan_ffmpeg_request request{target.stream, target.name.c_str()};
    char message[512] = {};
    const int result = module.reader->read(&input, &output, &request, message, sizeof message);
    if (result == TONESCAN_OK) return {};
    if (result == TONESCAN_FFMPEG_STOPPED) return sink.Stopped();
    if (result != TONESCAN_FFMPEG_UNKNOWN) return Fail(result, message);
    unsigned char start[kShownBytes] = {};
    const auto n = static_cast<std::size_t>(std::min<sf_count_t>(source.length, kShownBytes));
    if (!source.ReadAt(0, start, n)) return Fail(TONESCAN_EFORMAT, "file is empty");
    return NeitherReads(sndfile_reason, {start, n});
}

bool ReadsWhole(StreamHead& head, bool wav) {
    if (wav) {
        Source source;
        source.memory = head.bytes;
        source.length = static_cast<sf_count_t>(source.memory.size());
        SF_VIRTUAL_IO io = SourceIo();
        SF_INFO info{};
        std::lock_guard lock(open_mutex);
        if (SndfilePtr file(sf_open_virtual(&io, SFM_READ, &info, &source)); file) return false;
    } else {
        head.Need(kProbeBytes);
    }
    const Module& module = LoadModule();
    if (module.reader == nullptr) return false;
    const char* found = module.reader->probe(head.bytes.data(), head.bytes.size());
    if (found == nullptr) return false;
    if (wav) return true;
    return std::none_of(std::begin(kSndfileFormats), std::end(kSndfileFormats),
                        [&](const char* known) { return std::strcmp(found, known) == 0; });
}

}
