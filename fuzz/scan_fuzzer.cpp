// dtmf-scan's file reading on arbitrary bytes as a file: it must not crash and
// must give either samples or a one-line reason. The first byte chooses how
// the rest is read: even, by libsndfile's own format detection; odd, as raw
// PCM at one of a table of rates (the tool's limits included) with 1 to 8
// channels taken from its upper bits.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "decode.h"

namespace {

constexpr int kRawRates[] = {4000, 8000, 16000, 44100, 48000, 3999, 1, 7, 10'000'000};

std::string path;
int fd = -1;

void Check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) {
        std::fprintf(stderr, "scan fuzzer: %s%s\n", what, detail.c_str());
        std::abort();
    }
}

void RemoveFile() { unlink(path.c_str()); }

bool IsOneLine(const std::string& text) {
    for (const char c : text) {
        if (c == '\n' || c == '\r' || c == '\0') return false;
    }
    return true;
}

}

// A file on tmpfs, rewritten for every input, because the reading under test
// opens files by name.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    path = std::string(dir != nullptr ? dir : "/tmp") + "/dtmf-scan-fuzz-" + std::to_string(getpid());
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    Check(fd >= 0, "cannot create the input file ", path);
    std::atexit(RemoveFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    Check(ftruncate(fd, 0) == 0, "cannot truncate the input file");
    const auto body = static_cast<ssize_t>(size - 1);
    Check(pwrite(fd, data + 1, size - 1, 0) == body, "cannot write the input file");

    std::optional<tonescan::RawFormat> raw;
    if (mode % 2 != 0) {
        const int rate = kRawRates[(mode >> 1) % std::size(kRawRates)];
        raw = tonescan::RawFormat{rate, 1 + (mode >> 5)};
    }
    std::size_t samples = 0;
    const std::string error =
        tonescan::DecodeForScan(path, -1, raw, {.samples = [&](std::span<const int16_t> block) { samples += block.size(); }})
            .text;
    Check(IsOneLine(error), "the reason is not one line: ", error);
    if (size == 1) Check(!error.empty(), "an empty file read without an error");
    // At 4000/s nothing is resampled: every whole frame gives one sample.
    if (raw && raw->rate == tonescan::kScanRate && error.empty()) {
        const std::size_t frames = (size - 1) / (2 * static_cast<std::size_t>(raw->channels));
        Check(samples == frames, "raw input at 4000/s gave another number of samples than frames");
    }
    return 0;
}
