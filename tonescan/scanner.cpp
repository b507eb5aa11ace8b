// The file API: a scanner reads files, paths or descriptors with the file
// side's decoding and tells each press through the caller's callbacks.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "decode.h"
#include "guarded.h"
#include "listener.h"
#include "press_scanner.h"
#include "press_time.h"
#include "tonescan.h"

using namespace tonescan;

struct tonescan_scanner {
    tonescan_scan_spec spec{};
    tonescan_callbacks callbacks{};
    std::atomic<bool> cancel{false};
    std::string message;
    int64_t blocks = 0;
    // The decoding may call from its threads; the caller's callbacks are
    // called one at a time.
    std::mutex calls;

    int Scan(const std::string& path, int fd);
};

namespace {

// One scan: the listener, and the parts of a file the block analysis
// reads side by side.
class FileScan {
public:
    explicit FileScan(tonescan_scanner& scanner) : scanner_(scanner), listener_(scanner.spec.detector, 0) {}

    int Run(const std::string& path, int fd) {
        std::optional<RawFormat> raw;
        if (scanner_.spec.raw_rate > 0) {
            raw = RawFormat{scanner_.spec.raw_rate, scanner_.spec.raw_channels > 0 ? scanner_.spec.raw_channels : 1};
        }
        DecodeCallbacks callbacks{
            .rate = [this](int rate) { rate_ = rate; },
            .samples =
                [this](std::span<const int16_t> samples) {
                    handed_ += static_cast<int64_t>(samples.size());
                    listener_.Feed(samples);
                    Tell();
                },
            .caught_up =
                [this] {
                    listener_.CaughtUp();
                    Tell();
                },
            .progress =
                [this](double fraction) {
                    const tonescan_callbacks& c = scanner_.callbacks;
                    std::lock_guard lock(scanner_.calls);
                    if (c.progress != nullptr) c.progress(c.user, fraction);
                    if (c.seconds != nullptr && fraction > 0.0) {
                        const double read = static_cast<double>(handed_.load()) / listener_.Rate();
                        c.seconds(c.user, read, read / fraction);
                    }
                },
            .notice =
                [this](const std::string& text) {
                    const tonescan_callbacks& c = scanner_.callbacks;
                    if (c.notice == nullptr) return;
                    std::lock_guard lock(scanner_.calls);
                    c.notice(c.user, text.c_str());
                },
            .cancel = &scanner_.cancel,
            .threads = scanner_.spec.threads > 0 ? scanner_.spec.threads : 1,
            .parts_begin =
                [this](int count) {
                    parts_.assign(static_cast<std::size_t>(count), {});
                    handed_ = 0;
                },
            .part_samples =
                [this](int part, std::span<const int16_t> samples) {
                    handed_ += static_cast<int64_t>(samples.size());
                    parts_[static_cast<std::size_t>(part)].Feed(samples);
                },
        };
        const ScanError error =
            DecodeForScan(path, fd, raw, callbacks,
                          {.rate = listener_.Rate(),
                           .channel = scanner_.spec.channel,
                           .stream = static_cast<int>(scanner_.spec.stream),
                           .name = path});
        // A file that fails part way (damaged, cut short, rewritten) still
        // gives the presses before the failure, the one held at it too.
        if (!error || error.code != TONESCAN_ECANCELLED) {
            for (BlockKeys& part : parts_) {
                part.Finish();
                listener_.FeedBlockKeys(part.Keys());
            }
            listener_.Finish();
            Tell();
        }
        if (error) {
            scanner_.message = error.text;
            return error.code;
        }
        scanner_.blocks = listener_.Blocks() ? listener_.BlockCount() : 0;
        return TONESCAN_OK;
    }

private:
    void Tell() {
        const tonescan_callbacks& c = scanner_.callbacks;
        if (c.press != nullptr && !listener_.Found().empty()) {
            std::lock_guard lock(scanner_.calls);
            for (const FoundPress& found : listener_.Found()) {
                const tonescan_press press = PressAtRate(found, rate_);
                c.press(c.user, &press);
            }
        }
        listener_.Clear();
    }

    tonescan_scanner& scanner_;
    Listener listener_;
    std::vector<BlockKeys> parts_;
    // Samples handed to the detector, from the parts' threads too: the
    // seconds read that the `seconds` callback tells.
    std::atomic<int64_t> handed_{0};
    int rate_ = kScanRate;
};

}

namespace {

// The spec of callers built against 0.1.0 ends before `stream`.
constexpr std::size_t kFirstScanSpecSize = offsetof(tonescan_scan_spec, stream);

int64_t SpecStream(const tonescan_scan_spec& spec) {
    return spec.size >= offsetof(tonescan_scan_spec, stream) + sizeof spec.stream ? spec.stream : 0;
}

}

int tonescan_scanner::Scan(const std::string& path, int fd) {
    message.clear();
    blocks = 0;
    const int result = FileScan(*this).Run(path, fd);
    // A cancel that came after the scan's last look at it ends the next.
    if (result == TONESCAN_ECANCELLED) cancel.store(false, std::memory_order_relaxed);
    return result;
}

// Hosts built before `seconds` was added pass a struct that ends before
// it; they are still served, without it.
constexpr std::size_t kOldestCallbacksSize = offsetof(tonescan_callbacks, seconds);

extern "C" {

tonescan_scanner* tonescan_scanner_create(const tonescan_scan_spec* spec, const tonescan_callbacks* callbacks,
                                          int* error) {
    int result = TONESCAN_OK;
    if (spec == nullptr || spec->size < kFirstScanSpecSize ||
        (callbacks != nullptr && callbacks->size < kOldestCallbacksSize) ||
        (spec->detector != TONESCAN_RECORDING && spec->detector != TONESCAN_BLOCKS) || spec->channel < 0 ||
        spec->channel > 1024 || spec->raw_channels < 0 || spec->raw_channels > 1024 || spec->threads < 0 ||
        spec->threads > 1024 || SpecStream(*spec) < 0 || SpecStream(*spec) > 65536) {
        result = TONESCAN_EARG;
    } else if (spec->raw_rate < 0 || spec->raw_rate > 10'000'000) {
        result = TONESCAN_ERATE;
    }
    tonescan_scanner* scanner = nullptr;
    if (result == TONESCAN_OK) {
        scanner = new (std::nothrow) tonescan_scanner;
        if (scanner == nullptr) result = TONESCAN_ENOMEM;
    }
    if (scanner != nullptr) {
        std::memcpy(&scanner->spec, spec, std::min(spec->size, sizeof(tonescan_scan_spec)));
        scanner->spec.stream = SpecStream(*spec);
        scanner->spec.size = sizeof(tonescan_scan_spec);
        if (callbacks != nullptr) {
            std::memcpy(&scanner->callbacks, callbacks, std::min(callbacks->size, sizeof *callbacks));
        }
        scanner->callbacks.size = sizeof(tonescan_callbacks);
    }
    if (error != nullptr) *error = result;
    return scanner;
}

int tonescan_scanner_scan_path(tonescan_scanner* scanner, const char* path) {
    if (scanner == nullptr || path == nullptr || *path == '\0') return TONESCAN_EARG;
    return tonescan::Guarded([&] { return scanner->Scan(path, -1); });
}

int tonescan_scanner_scan_fd(tonescan_scanner* scanner, int fd) {
    if (scanner == nullptr || fd < 0) return TONESCAN_EARG;
    return tonescan::Guarded([&] { return scanner->Scan("", fd); });
}

void tonescan_scanner_cancel(tonescan_scanner* scanner) {
    if (scanner != nullptr) scanner->cancel.store(true, std::memory_order_relaxed);
}

const char* tonescan_scanner_message(const tonescan_scanner* scanner) {
    return scanner == nullptr ? "" : scanner->message.c_str();
}

int64_t tonescan_scanner_blocks(const tonescan_scanner* scanner) { return scanner == nullptr ? 0 : scanner->blocks; }

void tonescan_scanner_destroy(tonescan_scanner* scanner) { delete scanner; }

}
