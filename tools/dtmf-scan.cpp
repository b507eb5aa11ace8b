// dtmf-scan: finds DTMF key presses in recordings through libtonescan, with
// the recording detector or with libtonewatch's block analysis.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command_line.h"
#include "file_list.h"
#include "progress_bar.h"
#include "scan_report.h"
#include "tonescan.h"
#include "tool.h"

namespace {

constexpr const char* kUsage =
    "Usage: dtmf-scan [OPTION]... FILE...\n"
    "  or:  dtmf-scan [OPTION]... -r FOLDER...\n"
    "  or:  dtmf-scan [OPTION]... --files-from=LIST [FILE]...\n"
    "Find DTMF key presses (0-9, *, #, A-D) in recordings and print one line per\n"
    "press: the time in seconds and the key, e.g. \"1.250 5\". With several files,\n"
    "a folder, a LIST or -H each line starts with the file name and \": \"; a name\n"
    "holding control characters is shown in double quotes with C escapes.\n"
    "\n"
    "FILE is anything libsndfile reads (WAV, FLAC, Ogg, AIFF, ...) or FFmpeg\n"
    "reads (AAC/M4A, AMR-NB/WB, G.722, G.729, Opus in WebM, an audio stream of\n"
    "MP4 or MKV video), headerless G.722 or G.729 named *.g722 or *.g729, or raw\n"
    "PCM with --raw-rate; \"-\" is standard input. A pipe, FIFO or device is\n"
    "read to its end as the audio arrives and each press is printed as soon as\n"
    "it is found, so that dtmf-scan can listen live behind arecord or parec\n"
    "(FLAC, MP3 and what only FFmpeg reads are read whole first).\n"
    "Files come out in the order given: the FILEs, then those in LIST.\n"
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
    "      --stream=N         read the Nth audio stream of a container such as MKV\n"
    "                         or MP4 (1 is the first, the default; other streams\n"
    "                         are not counted)\n"
    "      --json             print JSON lines instead: {\"file\",\"time\",\"key\"} per\n"
    "                         press (and \"end\" from the recording detector),\n"
    "                         {\"file\",\"keys\",\"blocks\"} at the end of a file\n"
    "                         (\"blocks\" from the library detector only),\n"
    "                         {\"file\",\"error\"} for one that cannot be read;\n"
    "                         each byte of a name that is not UTF-8 is written\n"
    "                         as \\udcXX (Python's surrogateescape; os.fsencode\n"
    "                         gives the name's bytes back)\n"
    "  -r, --recursive        scan the files under each FOLDER given, depth first,\n"
    "                         each folder's names in byte order; symbolic links\n"
    "                         are followed, but not back into a folder on the way\n"
    "                         down; what is found there and is not audio is\n"
    "                         skipped with a notice\n"
    "      --files-from=LIST  also scan the files named in LIST, one per line\n"
    "                         (\"-\" is standard input; empty lines are ignored)\n"
    "  -0, --null             names in LIST end with NUL, as find -print0 writes\n"
    "  -H, --with-filename    start each line with the file name, also for one\n"
    "                         file\n"
    "  -q, --quiet            draw no progress bar (on a terminal it shows the\n"
    "                         files finished, the rate in seconds of audio per\n"
    "                         second and the time left)\n"
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
    "  0 when every file was read (what -r skips does not count); 1 when a file\n"
    "  could not be read (the others are still scanned) or the results could not\n"
    "  be written; 2 for a usage error or a LIST that cannot be read.\n";

struct Options {
    int detector = TONESCAN_RECORDING;
    int channel = 0;  // 0: the average of all channels
    int stream = 1;
    bool json = false;
    bool recursive = false;
    bool with_filename = false;
    bool quiet = false;
    char separator = '\n';
    std::optional<std::string> list;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    std::optional<int> raw_rate;
    std::optional<int> raw_channels;
    std::vector<std::string> names;
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
        {"stream", 0, true, [&](const char* value) { options.stream = whole("--stream", value, 65536); }},
        {"json", 0, false, [&](const char*) { options.json = true; }},
        {"recursive", 'r', false, [&](const char*) { options.recursive = true; }},
        {"files-from", 0, true, [&](const char* value) { options.list = value; }},
        {"null", '0', false, [&](const char*) { options.separator = '\0'; }},
        {"with-filename", 'H', false, [&](const char*) { options.with_filename = true; }},
        {"quiet", 'q', false, [&](const char*) { options.quiet = true; }},
        {"jobs", 'j', true, [&](const char* value) { options.jobs = whole("--jobs", value, 1024); }},
        {"raw-rate", 0, true, [&](const char* value) { options.raw_rate = whole("--raw-rate", value, 10'000'000); }},
        {"raw-channels", 0, true,
         [&](const char* value) { options.raw_channels = whole("--raw-channels", value, 1024); }},
    };
    options.names = dtmftools::ParseCommandLine(argc, argv, kUsage, own);
    if (options.names.empty() && !options.list) dtmftools::UsageError("no input files");
    if (options.raw_channels && !options.raw_rate) dtmftools::UsageError("--raw-channels needs --raw-rate");
    if (options.separator == '\0' && !options.list) dtmftools::UsageError("--null needs --files-from");
    return options;
}

// The FILEs, then the names in LIST, with folders expanded.
std::vector<dtmfscan::Input> GatherInputs(const Options& options) {
    std::vector<std::string> names = options.names;
    if (options.list) {
        std::string text;
        std::string error;
        if (!dtmfscan::ReadList(*options.list, text, error)) {
            dtmftools::Complain(dtmftools::QuotedName(*options.list) + ": cannot read the list: " + error);
            std::exit(dtmftools::ExitStatus(2));
        }
        const std::vector<std::string> listed = dtmfscan::SplitNames(text, options.separator);
        names.insert(names.end(), listed.begin(), listed.end());
    }
    const auto stdin_uses = std::count(names.begin(), names.end(), "-");
    if (options.list == "-" && stdin_uses > 0) {
        dtmftools::UsageError("standard input ('-') is the list of files; it cannot be scanned too");
    }
    if (stdin_uses > 1) dtmftools::UsageError("standard input ('-') can be read only once");
    return dtmfscan::ExpandFolders(names, options.recursive);
}

// Whether lines start with the file's name: not for one file named alone,
// but for one found in a folder or a list too, so that what is printed does
// not change with what a folder holds.
bool NamesShown(const Options& options, const std::vector<dtmfscan::Input>& inputs) {
    const auto walked = [](const dtmfscan::Input& input) { return input.kind != dtmfscan::Input::Kind::kNamed; };
    return options.with_filename || options.list || inputs.size() > 1 ||
           std::any_of(inputs.begin(), inputs.end(), walked);
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
    dtmfscan::Input input;
    std::atomic<double> fraction{0.0};
    std::atomic<double> seconds_read{0.0};
    std::atomic<double> seconds_total{0.0};
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
    Scan(const Options& options, std::vector<dtmfscan::Input> inputs)
        : options_(options),
          files_(inputs.size()),
          threads_(static_cast<int>(std::max<std::size_t>(1, options.jobs / std::max<std::size_t>(1, inputs.size())))),
          names_shown_(NamesShown(options, inputs)) {
        for (std::size_t i = 0; i < files_.size(); ++i) files_[i].input = std::move(inputs[i]);
    }

    std::vector<FileScan>& Files() { return files_; }
    std::mutex& Mutex() { return mutex_; }
    std::condition_variable& Changed() { return changed_; }

    // Scans the file with libtonescan and tells each press as soon as the
    // library has found it.
    void Run(FileScan& file) {
        using Kind = dtmfscan::Input::Kind;
        Told told{this, &file, DisplayName(file.input.path), {}, {}};
        told.prefix = names_shown_ ? dtmftools::QuotedName(told.name) + ": " : "";
        if (file.input.kind == Kind::kSkipped) {
            return Finish(file, {{true, Message(told.name, file.input.message)}}, false);
        }
        if (file.input.kind == Kind::kFailed) return Finish(file, Failure(told.name, file.input.message), true);
        tonescan_scan_spec spec = TONESCAN_SCAN_SPEC_INIT;
        spec.detector = options_.detector;
        spec.channel = options_.channel;
        spec.stream = options_.stream;
        spec.raw_rate = options_.raw_rate.value_or(0);
        spec.raw_channels = options_.raw_channels.value_or(0);
        spec.threads = threads_;
        const tonescan_callbacks callbacks{sizeof(tonescan_callbacks), TellPress, TellProgress, TellNotice, &told,
                                           TellSeconds};
        int result = TONESCAN_ENOMEM;
        const std::unique_ptr<tonescan_scanner, decltype(&tonescan_scanner_destroy)> scanner(
            tonescan_scanner_create(&spec, &callbacks, &result), tonescan_scanner_destroy);
        if (scanner) result = tonescan_scanner_scan_path(scanner.get(), file.input.path.c_str());
        if (result == TONESCAN_OK) {
            std::vector<Line> end;
            if (options_.json) {
                const bool blocks = options_.detector == TONESCAN_BLOCKS;
                end.push_back({false, dtmfscan::JsonEnd(told.name, told.keys,
                                                        blocks ? tonescan_scanner_blocks(scanner.get()) : -1)});
            }
            return Finish(file, std::move(end), false);
        }
        const std::string error = scanner && *tonescan_scanner_message(scanner.get()) != '\0'
                                      ? tonescan_scanner_message(scanner.get())
                                      : tonescan_strerror(result);
        // A folder holds more than recordings: what is not audio there is
        // passed over, not an error.
        if (file.input.kind == Kind::kWalked && result == TONESCAN_EFORMAT) {
            return Finish(file, {{true, Message(told.name, "skipped: " + error)}}, false);
        }
        Finish(file, Failure(told.name, error), true);
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
        static_cast<Told*>(user)->file->fraction.store(fraction, std::memory_order_relaxed);
    }

    static void TellSeconds(void* user, double read, double total) {
        FileScan& file = *static_cast<Told*>(user)->file;
        file.seconds_read.store(read, std::memory_order_relaxed);
        file.seconds_total.store(total, std::memory_order_relaxed);
    }

    static void TellNotice(void* user, const char* text) {
        Told& told = *static_cast<Told*>(user);
        told.scan->Add(*told.file, {{true, Message(told.name, text)}});
    }

    static std::string Message(const std::string& name, const std::string& text) {
        return std::string(dtmftools::ProgramName()) + ": " + dtmftools::QuotedName(name) + ": " + text + "\n";
    }

    std::vector<Line> Failure(const std::string& name, const std::string& error) const {
        std::vector<Line> lines{{true, Message(name, error)}};
        if (options_.json) lines.push_back({false, dtmfscan::JsonError(name, error)});
        return lines;
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
    bool names_shown_;
    std::mutex mutex_;
    std::condition_variable changed_;
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
// The bar's figures are gathered from all files at most every 100 ms: a
// folder can hold many thousands.
bool WriteResults(Scan& scan, bool quiet) {
    constexpr std::chrono::milliseconds kGatherEvery(100);
    std::vector<FileScan>& files = scan.Files();
    dtmfscan::ProgressBar bar(!quiet && isatty(STDERR_FILENO) != 0);
    const auto start = std::chrono::steady_clock::now();
    auto next_gather = start;
    std::vector<dtmfscan::FileProgress> progress(bar.Enabled() ? files.size() : 0);
    dtmfscan::ProgressState state;
    bool all_read = true;
    std::size_t current = 0;
    while (current < files.size()) {
        std::vector<Line> lines;
        bool current_done = false;
        bool gathered = false;
        {
            std::unique_lock lock(scan.Mutex());
            scan.Changed().wait_for(lock, kGatherEvery, [&] {
                return !files[current].lines.empty() || files[current].done;
            });
            lines.swap(files[current].lines);
            current_done = files[current].done;
            if (current_done) all_read = all_read && !files[current].failed;
            if (bar.Enabled() && std::chrono::steady_clock::now() >= next_gather) {
                for (std::size_t i = 0; i < files.size(); ++i) {
                    progress[i] = {files[i].done, files[i].fraction.load(std::memory_order_relaxed),
                                   files[i].seconds_read.load(std::memory_order_relaxed),
                                   files[i].seconds_total.load(std::memory_order_relaxed)};
                }
                gathered = true;
            }
        }
        if (gathered) {
            const auto now = std::chrono::steady_clock::now();
            next_gather = now + kGatherEvery;
            state = dtmfscan::Estimate(progress, std::chrono::duration<double>(now - start).count());
        }
        if (!lines.empty()) bar.Erase();
        WriteLines(lines);
        if (current_done) ++current;
        if (current < files.size() && (gathered || !lines.empty())) bar.Draw(state);
    }
    bar.Erase();
    return all_read;
}

// Hands the inputs to `jobs` workers and writes what they find, file by
// file in the order given; true when every file was read.
bool ScanFiles(const Options& options, std::vector<dtmfscan::Input> inputs) {
    Scan scan(options, std::move(inputs));
    std::vector<FileScan>& files = scan.Files();
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    const std::size_t worker_count = std::min<std::size_t>(options.jobs, files.size());
    for (std::size_t w = 0; w < worker_count; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = next.fetch_add(1)) < files.size();) scan.Run(files[i]);
        });
    }
    const bool all_read = WriteResults(scan, options.quiet);
    for (std::thread& worker : workers) worker.join();
    return all_read;
}

}

int main(int argc, char** argv) {
    dtmftools::SetProgramName("dtmf-scan");
    dtmftools::GuardStandardDescriptors();
    const Options options = ParseOptions(argc, argv);
    std::vector<dtmfscan::Input> inputs = GatherInputs(options);
    // Each press is written as soon as it is known, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool all_read = ScanFiles(options, std::move(inputs));
    return dtmftools::ExitStatus(all_read ? 0 : 1);
}
