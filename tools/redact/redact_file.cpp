#include "redact_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "tonescan.h"
#include "tool.h"

namespace dtmftools {
namespace {

struct Container {
    const char* name;
    int format;
    int encoding;  // when the input's cannot go into it
};

constexpr Container kContainers[] = {
    {"wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16},   {"wavex", SF_FORMAT_WAVEX, SF_FORMAT_PCM_16},
    {"w64", SF_FORMAT_W64, SF_FORMAT_PCM_16},   {"rf64", SF_FORMAT_RF64, SF_FORMAT_PCM_16},
    {"aiff", SF_FORMAT_AIFF, SF_FORMAT_PCM_16}, {"au", SF_FORMAT_AU, SF_FORMAT_PCM_16},
    {"caf", SF_FORMAT_CAF, SF_FORMAT_PCM_16},   {"flac", SF_FORMAT_FLAC, SF_FORMAT_PCM_16},
    {"ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS},
};

// How samples travel: encodings of 16 bits or fewer as 16-bit integers, so
// that what is not masked comes out as it went in; 24-bit PCM as floats
// scaled back to its integers, which floats hold exactly; the rest as floats.
enum class Samples { kShorts, kFloats24, kFloats };

Samples SamplesOf(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_GSM610:
    case SF_FORMAT_IMA_ADPCM:
    case SF_FORMAT_MS_ADPCM:
    case SF_FORMAT_VOX_ADPCM:
    case SF_FORMAT_G721_32:
    case SF_FORMAT_G723_24:
    case SF_FORMAT_G723_40:
    case SF_FORMAT_DPCM_8:
    case SF_FORMAT_DPCM_16:
        return Samples::kShorts;
    case SF_FORMAT_PCM_24:
        return Samples::kFloats24;
    default:
        return Samples::kFloats;
    }
}

// The temporary outputs, one slot per job, for the signal handler to
// remove.
char g_temporary[kMostJobs][PATH_MAX];
volatile sig_atomic_t g_has_temporary[kMostJobs] = {};

void OnSignal(int signal) {
    for (int slot = 0; slot < kMostJobs; ++slot) {
        if (g_has_temporary[slot] != 0) unlink(g_temporary[slot]);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

struct RedactorDeleter {
    void operator()(tonescan_redactor* redactor) const { tonescan_redactor_destroy(redactor); }
};

// Where the output goes: a temporary file renamed over the output at the
// end, or straight into standard output, a device or a FIFO.
class Target {
public:
    explicit Target(int slot) : slot_(slot) {}
    ~Target() { Abandon(); }

    bool Open(const std::string& out, const std::string& in, bool in_place) {
        name_ = out;
        struct stat st {};
        if (out == "-") {
            fd_ = STDOUT_FILENO;
            return Spool();
        }
        if (stat(out.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            fd_ = open(out.c_str(), O_WRONLY | O_CLOEXEC);
            owned_ = fd_ >= 0;
            return Failed(fd_ >= 0, "cannot open") && Spool();
        }
        const std::size_t slash = out.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : out.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
        temporary_ = (slash == std::string::npos ? std::string() : folder) + "." + base + ".redact-XXXXXX";
        if (temporary_.size() >= sizeof g_temporary[0]) return Failed(false, "name too long");
        // The mode the output gets: the input's when it replaces it, the
        // output's when it exists, else what the umask leaves of 0666.
        sync_ = in_place;
        if (in_place && stat(in.c_str(), &st) == 0) {
            mode_ = st.st_mode & 07777;
        } else if (stat(out.c_str(), &st) == 0) {
            mode_ = st.st_mode & 07777;
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            mode_ = 0666 & ~mask;
        }
        sigset_t all;
        sigset_t before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        fd_ = mkstemp(temporary_.data());
        if (fd_ >= 0) {
            std::memcpy(g_temporary[slot_], temporary_.c_str(), temporary_.size() + 1);
            g_has_temporary[slot_] = 1;
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        owned_ = fd_ >= 0;
        if (fd_ < 0) temporary_.clear();
        return Failed(fd_ >= 0, "cannot create a file beside it");
    }

    int Fd() const { return spool_ >= 0 ? spool_ : fd_; }

    // The output is whole: it takes its name.
    bool Commit() {
        if (temporary_.empty()) {
            bool ok = spool_ < 0 || Unspool();
            ok = (!owned_ || close(fd_) == 0) && ok;
            fd_ = -1;
            return Failed(ok, "write error");
        }
        // Only the input's replacement is synced before its rename: a crash
        // must not leave an empty file where the recording was. A new output
        // replaces nothing worth keeping, and waiting for the disk would
        // take longer than the redaction itself.
        if (!Failed(!sync_ || fsync(fd_) == 0, "cannot sync") || !Failed(fchmod(fd_, mode_) == 0, "cannot set the mode")) {
            return false;
        }
        const int fd = fd_;
        fd_ = -1;
        if (!Failed(close(fd) == 0, "write error")) return false;
        if (!Failed(rename(temporary_.c_str(), name_.c_str()) == 0, "cannot rename into place")) return false;
        g_has_temporary[slot_] = 0;
        temporary_.clear();
        return true;
    }

    void Abandon() {
        if (spool_ >= 0) close(spool_);
        spool_ = -1;
        if (owned_ && fd_ >= 0) close(fd_);
        fd_ = -1;
        if (!temporary_.empty()) {
            unlink(temporary_.c_str());
            g_has_temporary[slot_] = 0;
            temporary_.clear();
        }
    }

private:
    // libsndfile writes most headers last, where it cannot seek back to them
    // in a pipe: what cannot seek gets the whole file from a spool, an
    // unnamed file in TMPDIR, at the end.
    bool Spool() {
        if (lseek(fd_, 0, SEEK_CUR) >= 0) return true;
        const char* folder = std::getenv("TMPDIR");
        std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/dtmf-redact-XXXXXX";
        spool_ = mkstemp(name.data());
        if (spool_ >= 0) unlink(name.c_str());
        return Failed(spool_ >= 0, "cannot create a spool file");
    }

    bool Unspool() {
        if (lseek(spool_, 0, SEEK_SET) != 0) return false;
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const ssize_t n = read(spool_, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = write(fd_, buffer.data() + done, static_cast<std::size_t>(n - done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return false;
                done += w;
            }
        }
    }

    bool Failed(bool ok, const char* what) {
        if (!ok) Complain(QuotedName(name_) + ": " + what + ": " + std::strerror(errno));
        return ok;
    }

    std::string name_;
    std::string temporary_;
    int slot_;
    int fd_ = -1;
    int spool_ = -1;
    bool owned_ = false;
    bool sync_ = false;
    mode_t mode_ = 0644;
};

std::string Seconds(int64_t frames, int rate) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(frames) / rate);
    return text;
}

class Logger {
public:
    Logger(std::FILE* log, int rate, const std::string& file)
        : log_(log), rate_(rate), file_(file.empty() ? "" : "\"file\":" + JsonString(file) + ",") {}

    void Span(const tonescan_span& span) {
        ++spans_;
        masked_ += span.end - span.start;
        const std::string key = span.key != 0 ? JsonString(std::string(1, span.key)) : "null";
        std::fprintf(log_, "{%s\"start\":%s,\"end\":%s,\"start_frame\":%lld,\"end_frame\":%lld,\"key\":%s,\"kind\":\"%s\"}\n",
                     file_.c_str(), Seconds(span.start, rate_).c_str(), Seconds(span.end, rate_).c_str(),
                     static_cast<long long>(span.start), static_cast<long long>(span.end), key.c_str(),
                     span.press != 0 ? "press" : "partial");
    }

    void Summary(int64_t frames) {
        std::fprintf(log_, "{%s\"spans\":%lld,\"masked_seconds\":%s,\"seconds\":%s}\n", file_.c_str(),
                     static_cast<long long>(spans_),
                     Seconds(masked_, rate_).c_str(), Seconds(frames, rate_).c_str());
        std::fflush(log_);
    }

private:
    std::FILE* log_;
    int rate_;
    int64_t spans_ = 0;
    int64_t masked_ = 0;
    std::string file_;
};

template <typename Sample>
sf_count_t Read(SNDFILE* file, Sample* frames, sf_count_t n) {
    if constexpr (std::is_same_v<Sample, int16_t>) {
        return sf_readf_short(file, frames, n);
    } else {
        return sf_readf_float(file, frames, n);
    }
}

template <typename Sample>
sf_count_t Write(SNDFILE* file, const Sample* frames, sf_count_t n) {
    if constexpr (std::is_same_v<Sample, int16_t>) {
        return sf_writef_short(file, frames, n);
    } else {
        return sf_writef_float(file, frames, n);
    }
}

template <typename Sample>
int Feed(tonescan_redactor* redactor, const Sample* in, std::size_t n, Sample* out, std::size_t* written) {
    if constexpr (std::is_same_v<Sample, int16_t>) {
        return tonescan_redactor_feed_i16(redactor, in, n, out, written);
    } else {
        return tonescan_redactor_feed_f32(redactor, in, n, out, written);
    }
}

// Reads all of `in` through the redactor into `out`; false with a message
// on a failure.
template <typename Sample>
bool Pump(const std::string& name, SNDFILE* in, const SF_INFO& info, SNDFILE* out, tonescan_redactor* redactor,
          float scale, Logger& logger) {
    // Pieces of about 256 KiB: writing a long recording costs the system
    // more than redacting it, and fewer, larger calls cost it less.
    const auto channels = static_cast<std::size_t>(info.channels);
    const std::size_t chunk = std::max<std::size_t>(1, (std::size_t{1} << 18) / (channels * sizeof(Sample)));
    std::vector<Sample> from(chunk * channels);
    std::vector<Sample> to(chunk * channels);
    int64_t frames = 0;
    const auto put = [&](std::size_t n) {
        if constexpr (std::is_same_v<Sample, float>) {
            if (scale != 1.0f) {
                for (std::size_t i = 0; i < n * channels; ++i) to[i] *= scale;
            }
        }
        if (Write(out, to.data(), static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n)) {
            Complain(QuotedName(name) + ": write error: " + sf_strerror(out));
            return false;
        }
        tonescan_span span;
        while (tonescan_redactor_take(redactor, &span, 1) == 1) logger.Span(span);
        return true;
    };
    for (;;) {
        const sf_count_t n = Read(in, from.data(), static_cast<sf_count_t>(chunk));
        if (n <= 0) break;
        frames += n;
        std::size_t written = 0;
        const int result = Feed(redactor, from.data(), static_cast<std::size_t>(n), to.data(), &written);
        if (result != TONESCAN_OK) {
            Complain(QuotedName(name) + ": " + tonescan_strerror(result));
            return false;
        }
        if (!put(written)) return false;
    }
    if (sf_error(in) != SF_ERR_NO_ERROR) {
        Complain(QuotedName(name) + ": read error: " + sf_strerror(in));
        return false;
    }
    // A file that ends before its header says is cut short: its output
    // would be too.
    if (info.seekable != 0 && info.frames > frames) {
        Complain(QuotedName(name) + ": file is truncated");
        return false;
    }
    tonescan_redactor_finish(redactor);
    for (std::size_t written = 1; written > 0;) {
        Feed<Sample>(redactor, nullptr, chunk, to.data(), &written);
        if (!put(written)) return false;
    }
    logger.Summary(frames);
    return true;
}

// What libsndfile reads and writes of a file besides its strings: the
// broadcast extension, the cart chunk, cue points and the instrument with its
// loops. Each goes where the output's format has room for it; the sizes are
// libsndfile's most for cues, and for text a little under the 16 KiB that it
// refuses to write from.
typedef SF_BROADCAST_INFO_VAR(16000) BroadcastChunk;
typedef SF_CART_INFO_VAR(16000) CartChunk;

void CopyChunks(SNDFILE* from, SNDFILE* to) {
    const auto copy = [&](int get, int set, auto& chunk) {
        if (sf_command(from, get, &chunk, static_cast<int>(sizeof chunk)) == SF_TRUE) {
            sf_command(to, set, &chunk, static_cast<int>(sizeof chunk));
        }
    };
    const auto broadcast = std::make_unique<BroadcastChunk>();
    copy(SFC_GET_BROADCAST_INFO, SFC_SET_BROADCAST_INFO, *broadcast);
    const auto cart = std::make_unique<CartChunk>();
    copy(SFC_GET_CART_INFO, SFC_SET_CART_INFO, *cart);
    const auto cues = std::make_unique<SF_CUES>();
    copy(SFC_GET_CUE, SFC_SET_CUE, *cues);
    const auto instrument = std::make_unique<SF_INSTRUMENT>();
    copy(SFC_GET_INSTRUMENT, SFC_SET_INSTRUMENT, *instrument);
}

int OutputFormat(const SF_INFO& info, const std::string& name, const std::string& in) {
    if (name.empty()) return info.format;
    for (const Container& c : kContainers) {
        if (name != c.name) continue;
        SF_INFO probe = info;
        probe.format = c.format | (info.format & SF_FORMAT_SUBMASK);
        if (sf_format_check(&probe) != 0) return probe.format;
        probe.format = c.format | c.encoding;
        if (sf_format_check(&probe) != 0) return probe.format;
    }
    Complain(QuotedName(in) + ": cannot be written as " + name);
    return 0;
}

}

bool KnownOutputFormat(const std::string& name) {
    for (const Container& c : kContainers) {
        if (name == c.name) return true;
    }
    return false;
}

bool RedactFile(const std::string& in, const std::string& out, const RedactOptions& options, std::FILE* log,
                int slot) {
    SF_INFO info{};
    const int in_fd = in == "-" ? STDIN_FILENO : open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (in_fd < 0) {
        Complain(QuotedName(in) + ": " + std::strerror(errno));
        return false;
    }
    const Sndfile reader(sf_open_fd(in_fd, SFM_READ, &info, in_fd != STDIN_FILENO ? SF_TRUE : SF_FALSE));
    if (!reader) {
        Complain(QuotedName(in) + ": " + sf_strerror(nullptr));
        if (in_fd != STDIN_FILENO) close(in_fd);
        return false;
    }
    // libsndfile reads a file shorter than its header says up to its end,
    // and says so only in its log: a cut recording must not pass for whole.
    struct stat st {};
    if (fstat(in_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::vector<char> text(1 << 14);
        sf_command(reader.get(), SFC_GET_LOG_INFO, text.data(), static_cast<int>(text.size()));
        text.back() = '\0';
        if (std::strstr(text.data(), "(should be") != nullptr) {
            Complain(QuotedName(in) + ": file is truncated");
            return false;
        }
    }
    SF_INFO written = info;
    written.frames = 0;
    written.format = OutputFormat(info, options.output_format, in);
    if (written.format == 0) return false;

    tonescan_redact_spec spec = TONESCAN_REDACT_SPEC_INIT(info.samplerate, info.channels);
    spec.guard_ms = options.guard_ms;
    spec.fill = options.fill;
    int error = TONESCAN_OK;
    const std::unique_ptr<tonescan_redactor, RedactorDeleter> redactor(tonescan_redactor_create(&spec, &error));
    if (!redactor) {
        Complain(QuotedName(in) + ": " + tonescan_strerror(error));
        return false;
    }

    Target target(slot);
    if (!target.Open(out, in, options.in_place)) return false;
    Sndfile writer(sf_open_fd(target.Fd(), SFM_WRITE, &written, SF_FALSE));
    if (!writer) {
        Complain(QuotedName(out) + ": " + sf_strerror(nullptr));
        return false;
    }
    for (int s = SF_STR_FIRST; s <= SF_STR_LAST; ++s) {
        if (const char* text = sf_get_string(reader.get(), s)) sf_set_string(writer.get(), s, text);
    }
    CopyChunks(reader.get(), writer.get());
    sf_command(writer.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    Samples samples = SamplesOf(info.format);
    if (samples == Samples::kFloats24 && (written.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_24) {
        samples = Samples::kFloats;
    }
    Logger logger(log, info.samplerate, options.log_names ? in : std::string());
    bool ok;
    if (samples == Samples::kShorts) {
        ok = Pump<int16_t>(in, reader.get(), info, writer.get(), redactor.get(), 1.0f, logger);
    } else {
        // 24-bit PCM goes back as its integers, unnormalised, so that the
        // frames not masked are exactly those read.
        const bool integers = samples == Samples::kFloats24;
        if (integers) sf_command(writer.get(), SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);
        ok = Pump<float>(in, reader.get(), info, writer.get(), redactor.get(), integers ? 8388608.0f : 1.0f, logger);
    }
    if (!ok) return false;
    const int closed = sf_close(writer.release());
    if (closed != 0) {
        Complain(QuotedName(out) + ": write error: " + sf_error_number(closed));
        return false;
    }
    return target.Commit();
}

void RemoveTemporaryOnSignals() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) std::signal(signal, OnSignal);
}

}
