// Streams: pipes, FIFOs and devices, read forward as the data comes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "sources.h"

namespace tonescan {

// How far into a stream the data chunk of a WAV header is looked for.
inline constexpr std::size_t kStreamHeadLimit = std::size_t{1} << 20;

// Copies a stream into a pipe on a thread of its own, after a head that was
// read (and perhaps changed) already, so that libsndfile reads a pipe as
// pipes are meant to be read: forward, as the data comes. Stopping closes the
// reading end and wakes the thread, wherever it waits.
class PipeFeeder {
public:
    PipeFeeder() = default;
    PipeFeeder(const PipeFeeder&) = delete;
    PipeFeeder& operator=(const PipeFeeder&) = delete;
    ~PipeFeeder() { Stop(); }

    std::string Start(int input, std::vector<unsigned char> head) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return "cannot make a pipe: " + ErrnoText();
        read_end_ = ends[0];
        write_end_ = ends[1];
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) return "cannot make an eventfd: " + ErrnoText();
        input_ = input;
        head_ = std::move(head);
        thread_ = std::thread([this] { Run(); });
        return {};
    }

    int ReadEnd() const { return read_end_; }

    // Stops the copy and returns why the input could not be read, if it could not.
    std::string Stop() {
        if (read_end_ >= 0) close(read_end_);
        read_end_ = -1;
        if (thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t ignored = write(wake_, &one, sizeof one);
            thread_.join();
        }
        if (write_end_ >= 0) close(write_end_);
        write_end_ = -1;
        if (wake_ >= 0) close(wake_);
        wake_ = -1;
        return error_;
    }

private:
    bool WriteAll(const unsigned char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t written = write(write_end_, data, size);
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return false;  // the reader is gone
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }

    void Run();

    int input_ = -1;
    int read_end_ = -1;
    int write_end_ = -1;
    int wake_ = -1;
    std::vector<unsigned char> head_;
    std::thread thread_;
    std::string error_;
};

// The start of a stream, read as far as needed and kept to be passed on.
struct StreamHead {
    explicit StreamHead(int input) : fd(input) {}

    int fd;
    std::vector<unsigned char> bytes;
    bool ended = false;
    std::string error;

    bool Need(std::size_t size) {
        while (bytes.size() < size && !ended) {
            const std::size_t old = bytes.size();
            bytes.resize(std::max(size, old + 4096));
            const ssize_t got = read(fd, bytes.data() + old, bytes.size() - old);
            if (got < 0 && errno == EINTR) {
                bytes.resize(old);
                continue;
            }
            if (got < 0 && errno == EAGAIN) {
                bytes.resize(old);
                pollfd ready{fd, POLLIN, 0};
                poll(&ready, 1, -1);
                continue;
            }
            bytes.resize(old + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
            if (got < 0) error = "read error: " + ErrnoText();
            if (got <= 0) ended = true;
        }
        return bytes.size() >= size;
    }

    bool ReadAt(uint64_t at, unsigned char* out, std::size_t n) {
        if (at + n > kStreamHeadLimit || !Need(static_cast<std::size_t>(at + n))) return false;
        std::memcpy(out, bytes.data() + at, n);
        return true;
    }
};


}
