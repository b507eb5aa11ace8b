// dtmf-scan: finds DTMF key presses in recordings with the detector's own
// block analysis and press rule.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "audio_input.h"
#include "press_scanner.h"
#include "scan_report.h"

namespace {

constexpr const char* kUsage =
    "usage: dtmf-scan [options] FILE...\n"
    "\n"
    "Finds DTMF key presses (0-9, *, #, A-D) in audio files and prints one line\n"
    "per press: the time of the press in seconds and the key, e.g. \"1.250 5\".\n"
    "With several files each line starts with the file name and \": \".\n"
    "\n"
    "FILE is any format libsndfile reads (WAV, FLAC, Ogg, AIFF, ...), or raw\n"
    "PCM with --raw-rate; \"-\" reads standard input. Channels are averaged and\n"
    "the rate is converted to 4000 samples/s; samples beyond full scale clip.\n"
    "\n"
    "options:\n"
    "  --json             one JSON object per file and line: file, keys,\n"
    "                     presses [{time, key}], blocks (or file, error)\n"
    "  --jobs N, -j N     scan N files at a time (default: number of processors)\n"
    "  --raw-rate N       inputs are headerless signed 16-bit little-endian PCM\n"
    "                     at N samples/s\n"
    "  --raw-channels N   channels of raw input (default 1)\n"
    "  -h, --help         show this text\n"
    "\n"
    "Timing: the audio is cut into blocks of 250 samples (62.5 ms) from the start\n"
    "of the file; a press is reported at the start of the first block in which\n"
    "its key is found, and the next press needs a block without a key between.\n"
    "Tones and pauses shorter than about two blocks (125 ms) can be missed, or\n"
    "two presses merged into one.\n"
    "\n"
    "Exit status: 0 when every file was read, 1 when any could not be read (the\n"
    "others are still scanned), 2 for a usage error.\n";

struct Options {
    bool json = false;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    std::optional<int> raw_rate;
    int raw_channels = 1;
    std::vector<std::string> files;
};

struct FileScan {
    std::string path;
    std::atomic<double> progress{0.0};
    bool done = false;  // guarded by the scan's mutex
    std::string error;
    std::vector<tonewatch::Press> presses;
    int64_t blocks = 0;
};

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "dtmf-scan: %s\nTry 'dtmf-scan --help'.\n", message.c_str());
    std::exit(2);
}

int PositiveNumber(std::string_view option, std::string_view text, int max) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > max) {
        UsageError(std::string(option) + " needs a whole number from 1 to " + std::to_string(max) + ", not '" +
                   std::string(text) + "'");
    }
    return value;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (only_files || arg == "-" || arg.empty() || arg[0] != '-') {
            options.files.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--json") {
            options.json = true;
            continue;
        }
        // Options with a value: "--name VALUE" or "--name=VALUE".
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos && arg.starts_with("--")) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name != "--jobs" && name != "-j" && name != "--raw-rate" && name != "--raw-channels") {
            UsageError("unknown option '" + std::string(arg) + "'");
        }
        if (!value) {
            if (i + 1 >= argc) UsageError(std::string(name) + " needs a value");
            value = argv[++i];
        }
        if (name == "--jobs" || name == "-j") {
            options.jobs = static_cast<unsigned>(PositiveNumber(name, *value, 1024));
        } else if (name == "--raw-rate") {
            options.raw_rate = PositiveNumber(name, *value, 10'000'000);
        } else {
            options.raw_channels = PositiveNumber(name, *value, 1024);
        }
    }
    if (options.files.empty()) UsageError("no input files");
    if (std::count(options.files.begin(), options.files.end(), "-") > 1) {
        UsageError("standard input ('-') can be read only once");
    }
    return options;
}

std::string DisplayName(const std::string& path) { return path == "-" ? "<stdin>" : path; }

void Scan(FileScan& file, const Options& options) {
    std::optional<dtmfscan::RawFormat> raw;
    if (options.raw_rate) raw = dtmfscan::RawFormat{*options.raw_rate, options.raw_channels};
    tonewatch::PressScanner scanner;
    file.error = dtmfscan::DecodeForScan(
        file.path, raw, [&](std::span<const int16_t> samples) { scanner.Feed(samples); },
        [&](double fraction) { file.progress.store(fraction, std::memory_order_relaxed); });
    if (!file.error.empty()) return;
    scanner.Finish();
    file.presses = scanner.Presses();
    file.blocks = scanner.Blocks();
}

// The bar shares the terminal with the results, so it is erased before
// anything else is written and drawn again afterwards.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}

    void Draw(const std::vector<FileScan>& files, std::size_t finished) {
        if (!enabled_) return;
        double sum = 0.0;
        for (const FileScan& file : files) sum += std::min(1.0, file.progress.load(std::memory_order_relaxed));
        const double fraction = sum / static_cast<double>(files.size());
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(fraction * kWidth);
        std::fprintf(stderr, "\r[%s%s] %3d%%  %zu/%zu files", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, ' ').c_str(), static_cast<int>(fraction * 100.0), finished,
                     files.size());
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
};

void Report(const FileScan& file, const Options& options, bool prefix) {
    const std::string name = DisplayName(file.path);
    if (!file.error.empty()) {
        std::fprintf(stderr, "dtmf-scan: %s: %s\n", name.c_str(), file.error.c_str());
        if (options.json) std::fputs(dtmfscan::JsonError(name, file.error).c_str(), stdout);
    } else if (options.json) {
        std::fputs(dtmfscan::JsonReport(name, file.presses, file.blocks).c_str(), stdout);
    } else {
        std::fputs(dtmfscan::TextReport(prefix ? name + ": " : "", file.presses).c_str(), stdout);
    }
    std::fflush(stdout);
}

}

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    std::vector<FileScan> files(options.files.size());
    for (std::size_t i = 0; i < files.size(); ++i) files[i].path = options.files[i];

    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};
    std::vector<std::jthread> workers;
    const std::size_t worker_count = std::min<std::size_t>(options.jobs, files.size());
    for (std::size_t w = 0; w < worker_count; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
                Scan(files[i], options);
                {
                    std::lock_guard lock(mutex);
                    files[i].done = true;
                }
                finished.notify_one();
            }
        });
    }

    // Results are written in command-line order as soon as all earlier files
    // are done, whatever order the workers finish in.
    ProgressBar bar(isatty(STDERR_FILENO) != 0);
    bool all_read = true;
    std::size_t reported = 0;
    while (reported < files.size()) {
        std::unique_lock lock(mutex);
        finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return files[reported].done; });
        const std::size_t before = reported;
        while (reported < files.size() && files[reported].done) ++reported;
        lock.unlock();
        if (reported > before) bar.Erase();
        for (std::size_t i = before; i < reported; ++i) {
            Report(files[i], options, files.size() > 1);
            all_read = all_read && files[i].error.empty();
        }
        if (reported < files.size()) bar.Draw(files, reported);
    }
    bar.Erase();
    return all_read ? 0 : 1;
}
