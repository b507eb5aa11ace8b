// dtmf-scan: finds DTMF key presses in recordings through libtonescan, with
// the recording detector or with libtonewatch's block analysis.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "command_line.h"
#include "scan_report.h"
#include "tonescan.h"
#include "tool.h"

namespace {

constexpr const char* kUsage =
    "Usage: dtmf-scan [OPTION]... FILE...\n"
    "Find DTMF key presses (0-9, *, #, A-D) in recordings and print one line per\n"
    "press: the time in seconds and the key, e.g. \"1.250 5\". With several files\n"
    "each line starts with the file name and \": \"; a name holding control\n"
    "characters is shown in double quotes with C escapes.\n"
    "\n"
    "FILE is anything libsndfile reads (WAV, FLAC, Ogg, AIFF, ...) or FFmpeg\n"
    "reads (AAC/M4A, AMR-NB/WB, G.722, G.729, Opus in WebM, the first audio\n"
    "stream of MP4 or MKV video), or raw PCM with --raw-rate; \"-\" is standard\n"
    "input. A pipe, FIFO or device is read to its end as the audio arrives and\n"
    "each press is printed as soon as it is found, so that dtmf-scan can listen\n"
    "live behind arecord or parec (what only FFmpeg reads is read whole first).\n"
    "Files given by name come out in command-line order.\n"
    "\n"
    "Options:\n"
    "      --detector=NAME    which detector listens (default: recording):\n"
    "                           recording  libtonescan's, made for recordings:\n"
    "                                      short, quiet, noisy, coded or slightly\n"
    "                                      mistuned keys, each with its end\n"
    "                           library    libtonewatch's block analysis, which\n"
    "                                      hears what the library would have heard\n"
    "      --channel=N        listen to channel N alone (1 is the first) instead of\n"
    "                         the average of all: for calls recorded with one side\n"
    "                         on each channel\n"
    "      --json             print JSON lines instead: {\"file\",\"time\",\"key\"} per\n"
    "                         press (and \"end\" from the recording detector),\n"
    "                         {\"file\",\"keys\",\"blocks\"} at the end of a file\n"
    "                         (\"blocks\" from the library detector only),\n"
    "                         {\"file\",\"error\"} for one that cannot be read\n"
    "  -j, --jobs=N           scan N files at a time (default: one per processor);\n"
    "                         with fewer files than N, each may keep several\n"
    "                         processors busy (same results)\n"
    "      --raw-rate=N       inputs without a header are signed 16-bit\n"
    "                         little-endian PCM at N samples/s; one with a header\n"
    "                         that libsndfile or FFmpeg knows is read by it, with\n"
    "                         a notice\n"
    "      --raw-channels=N   channels of raw input (default 1; with --raw-rate)\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "Detection (library):\n"
    "  The rate is converted to 4000 samples/s; the audio is cut into blocks of\n"
    "  250 samples (62.5 ms) from its start. A press is reported at the start of\n"
    "  the first block in which its key is found; the next press needs a block\n"
    "  without a key in between.\n"
    "  Tones and pauses need at least 125 ms each; shorter ones can be missed.\n"
    "  Each of the two tones must peak between about -22 dBFS and -4 dBFS.\n"
    "\n"
    "Detection (recording):\n"
    "  The rate is converted to 8000 samples/s; windows of 24 ms move on by 4 ms.\n"
    "  A press is reported when it has ended, at the time of its start, both\n"
    "  found within a few milliseconds.\n"
    "  Tones and pauses need at least 40 ms each; tones at least -45 dBFS, up to\n"
    "  1.5% off their frequencies, the high one from 14 dB under the low one to\n"
    "  12 dB over it.\n"
    "\n"
    "Exit status:\n"
    "  0 when every file was read; 1 when a file could not be read (the others\n"
    "  are still scanned) or the results could not be written; 2 for a usage\n"
    "  error.\n";

struct Options {
    int detector = TONESCAN_RECORDING;
    int channel = 0;  // 0: the average of all channels
    bool json = false;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    std::optional<int> raw_rate;
    std::optional<int> raw_channels;
    std::vector<std::string> files;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    const auto whole = [](const char* option, const char* value, int max) {
        return static_cast<unsigned>(dtmftools::WholeNumber(option, value, 1, max));
    };
    const auto detector = [](const char* value) {
        return dtmftools::OneOf("--detector", value, {"library", "recording"}) == 0 ? TONESCAN_BLOCKS
                                                                                    : TONESCAN_RECORDING;
    };
    const std::vector<dtmftools::Option> own = {
        {"detector", 0, true, [&](const char* value) { options.detector = detector(value); }},
        {"channel", 0, true, [&](const char* value) { options.channel = whole("--channel", value, 1024); }},
        {"json", 0, false, [&](const char*) { options.json = true; }},
        {"jobs", 'j', true, [&](const char* value) { options.jobs = whole("--jobs", value, 1024); }},
        {"raw-rate", 0, true, [&](const char* value) { options.raw_rate = whole("--raw-rate", value, 10'000'000); }},
        {"raw-channels", 0, true,
         [&](const char* value) { options.raw_channels = whole("--raw-channels", value, 1024); }},
    };
    options.files = dtmftools::ParseCommandLine(argc, argv, kUsage, own, {1, SIZE_MAX, "no input files"});
    if (options.raw_channels && !options.raw_rate) dtmftools::UsageError("--raw-channels needs --raw-rate");
    if (std::count(options.files.begin(), options.files.end(), "-") > 1) {
        dtmftools::UsageError("standard input ('-') can be read only once");
    }
    return options;
}

std::string DisplayName(const std::string& path) { return path == "-" ? "<stdin>" : path; }

struct Line {
    bool error;  // for stderr
    std::string text;
};

// What the scan of one file has to say, handed from its worker to the writer
// as it comes. The writer takes the lines of the first file not yet finished
// as soon as they are there, so a stream in front is printed live, and the
// lines of later files wait their turn.
struct FileScan {
    std::string path;
    std::atomic<double> progress{0.0};
    // Guarded by the scan's mutex.
    std::vector<Line> lines;
    bool done = false;
    bool failed = false;
};

// What one file's scan has told so far, for the library's callbacks.
struct Told {
    class Scan* scan;
    FileScan* file;
    std::string name;
    std::string prefix;
    std::string keys;
};

class Scan {
public:
    explicit Scan(const Options& options)
        : options_(options),
          files_(options.files.size()),
          threads_(static_cast<int>(std::max<std::size_t>(1, options.jobs / options.files.size()))) {
        for (std::size_t i = 0; i < files_.size(); ++i) files_[i].path = options.files[i];
    }

    std::vector<FileScan>& Files() { return files_; }
    std::mutex& Mutex() { return mutex_; }
    std::condition_variable& Changed() { return changed_; }

    // Scans the file with libtonescan and tells each press as soon as the
    // library has found it.
    void Run(FileScan& file) {
        Told told{this, &file, DisplayName(file.path), {}, {}};
        told.prefix = files_.size() > 1 ? dtmftools::QuotedName(told.name) + ": " : "";
        tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
        spec.detector = options_.detector;
        spec.channel = options_.channel;
        spec.raw_rate = options_.raw_rate.value_or(0);
        spec.raw_channels = options_.raw_channels.value_or(0);
        spec.threads = threads_;
        const tonescan_callbacks callbacks{sizeof(tonescan_callbacks), TellPress, TellProgress, TellNotice, &told};
        int result = TONESCAN_ENOMEM;
        const std::unique_ptr<tonescan_scanner, decltype(&tonescan_scanner_destroy)> scanner(
            tonescan_scanner_create(&spec, &callbacks, &result), tonescan_scanner_destroy);
        if (scanner) result = tonescan_scanner_scan_path(scanner.get(), file.path.c_str());
        std::vector<Line> end;
        if (result != TONESCAN_OK) {
            const std::string error = scanner && *tonescan_scanner_message(scanner.get()) != '\0'
                                          ? tonescan_scanner_message(scanner.get())
                                          : tonescan_strerror(result);
            end.push_back({true, Message(told.name, error)});
            if (options_.json) end.push_back({false, dtmfscan::JsonError(told.name, error)});
        } else if (options_.json) {
            const bool blocks = options_.detector == TONESCAN_BLOCKS;
            end.push_back(
                {false, dtmfscan::JsonEnd(told.name, told.keys, blocks ? tonescan_scanner_blocks(scanner.get()) : -1)});
        }
        Finish(file, std::move(end), result != TONESCAN_OK);
    }

private:
    static void TellPress(void* user, const tonescan_press* press) {
        Told& told = *static_cast<Told*>(user);
        told.keys += press->key;
        const Options& options = told.scan->options_;
        told.scan->Add(*told.file, {{false, options.json ? dtmfscan::JsonPress(told.name, *press, options.detector == TONESCAN_RECORDING)
                                                         : dtmfscan::TextPress(told.prefix, *press)}});
    }

    static void TellProgress(void* user, double fraction) {
        static_cast<Told*>(user)->file->progress.store(fraction, std::memory_order_relaxed);
    }

    static void TellNotice(void* user, const char* text) {
        Told& told = *static_cast<Told*>(user);
        told.scan->Add(*told.file, {{true, Message(told.name, text)}});
    }

    static std::string Message(const std::string& name, const std::string& text) {
        return std::string(dtmftools::ProgramName()) + ": " + dtmftools::QuotedName(name) + ": " + text + "\n";
    }

    void Add(FileScan& file, std::vector<Line> lines) {
        {
            std::lock_guard lock(mutex_);
            file.lines.insert(file.lines.end(), std::make_move_iterator(lines.begin()),
                              std::make_move_iterator(lines.end()));
        }
        changed_.notify_one();
    }

    void Finish(FileScan& file, std::vector<Line> lines, bool failed) {
        {
            std::lock_guard lock(mutex_);
            file.lines.insert(file.lines.end(), std::make_move_iterator(lines.begin()),
                              std::make_move_iterator(lines.end()));
            file.done = true;
            file.failed = failed;
        }
        changed_.notify_one();
    }

    const Options& options_;
    std::vector<FileScan> files_;
    int threads_;  // how many threads each file may keep busy
    std::mutex mutex_;
    std::condition_variable changed_;
};

volatile sig_atomic_t terminal_resized = 1;

void NoteResize(int) { terminal_resized = 1; }

// The bar shares the terminal with the results, so it is erased before
// anything else is written and drawn again afterwards. It is fitted to the
// terminal's width, measured again after every resize, so that it never
// wraps onto a second line.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {
        if (!enabled_) return;
        struct sigaction action {};
        action.sa_handler = NoteResize;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGWINCH, &action, nullptr);
    }

    void Draw(double fraction, std::size_t finished, std::size_t total) {
        if (!enabled_) return;
        if (terminal_resized) {
            terminal_resized = 0;
            winsize size{};
            columns_ = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
        }
        char counts[64];
        std::snprintf(counts, sizeof counts, " %3d%%  %zu/%zu files", static_cast<int>(fraction * 100.0), finished,
                      total);
        // The last column stays free: writing there wraps on some terminals.
        const std::size_t room = columns_ > 1 ? columns_ - 1 : 0;
        std::string line = counts;
        if (room >= line.size() + 7) {
            const std::size_t width = room - line.size() - 2;
            const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(width));
            // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on
            // "[" + std::string(...) at -O3.
            std::string bar = "[";
            bar.append(filled, '#').append(width - filled, ' ').append("]").append(line);
            line = std::move(bar);
        }
        line.resize(std::min(line.size(), room));
        std::fprintf(stderr, "\r%s\033[K", line.c_str());
        std::fflush(stderr);
        shown_ = true;
    }

    void Erase() {
        if (!shown_) return;
        std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

private:
    bool enabled_;
    bool shown_ = false;
    std::size_t columns_ = 80;
};

void WriteLines(const std::vector<Line>& lines) {
    for (const Line& line : lines) {
        if (line.error) {
            std::fputs(line.text.c_str(), stderr);
        } else {
            dtmftools::Output(line.text);
        }
    }
}

// Writes each file's lines as they come, the next file's once the one before
// is done, under a progress bar on a terminal; true when every file was read.
bool WriteResults(Scan& scan) {
    std::vector<FileScan>& files = scan.Files();
    ProgressBar bar(isatty(STDERR_FILENO) != 0);
    bool all_read = true;
    std::size_t current = 0;
    while (current < files.size()) {
        std::vector<Line> lines;
        bool current_done = false;
        double progress = 0.0;
        std::size_t finished = 0;
        {
            std::unique_lock lock(scan.Mutex());
            scan.Changed().wait_for(lock, std::chrono::milliseconds(100), [&] {
                return !files[current].lines.empty() || files[current].done;
            });
            lines.swap(files[current].lines);
            current_done = files[current].done;
            for (const FileScan& file : files) {
                finished += file.done ? 1 : 0;
                progress += file.done ? 1.0 : std::min(1.0, file.progress.load(std::memory_order_relaxed));
            }
            if (current_done) all_read = all_read && !files[current].failed;
        }
        if (!lines.empty()) bar.Erase();
        WriteLines(lines);
        if (current_done) ++current;
        if (current < files.size()) bar.Draw(progress / static_cast<double>(files.size()), finished, files.size());
    }
    bar.Erase();
    return all_read;
}

// Hands the files to `jobs` workers and writes what they find, file by file
// in command-line order; true when every file was read.
bool ScanFiles(const Options& options) {
    Scan scan(options);
    std::vector<FileScan>& files = scan.Files();
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    const std::size_t worker_count = std::min<std::size_t>(options.jobs, files.size());
    for (std::size_t w = 0; w < worker_count; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = next.fetch_add(1)) < files.size();) scan.Run(files[i]);
        });
    }
    const bool all_read = WriteResults(scan);
    for (std::thread& worker : workers) worker.join();
    return all_read;
}

}

int main(int argc, char** argv) {
    dtmftools::SetProgramName("dtmf-scan");
    dtmftools::GuardStandardDescriptors();
    const Options options = ParseOptions(argc, argv);
    // Each press is written as soon as it is known, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool all_read = ScanFiles(options);
    return dtmftools::ExitStatus(all_read ? 0 : 1);
}
