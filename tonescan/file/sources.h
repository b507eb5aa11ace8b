// Where the bytes of an input come from: a descriptor read at offsets, a
// stream read whole into memory, or a mapping of a regular file; and
// libsndfile's virtual I/O over them.
#pragma once

#include <sndfile.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tonescan {

// strerror(errno).
std::string ErrnoText();

struct Descriptor {
    int fd = -1;
    bool owned = false;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (owned) close(fd);
    }
};

// Reads exactly `n` bytes at `offset` unless the file ends first; returns the
// number read, or -1 with errno set.
ssize_t ReadFully(int fd, void* out, std::size_t n, off_t offset);

// A regular file, or a stream read whole into memory, as libsndfile's
// virtual I/O sees it; four bytes of it may be replaced (a WAV data length).
struct Source {
    int fd = -1;
    off_t base = 0;
    std::vector<unsigned char> memory;
    sf_count_t length = 0;
    sf_count_t position = 0;
    sf_count_t patch_at = -1;
    std::array<unsigned char, 4> patch{};
    int read_error = 0;

    bool ReadAt(uint64_t offset, unsigned char* out, std::size_t n);
};

// libsndfile's view of a Source.
SF_VIRTUAL_IO SourceIo();

// Maps the pages of a mapped file into memory on a thread of its own, a
// little ahead of the one reader that reads them in order, and unmaps those
// the reader has left behind, so that the cost of both falls on the other
// processor. Pages it could not map are mapped by the reader's own faults,
// as without it; unmapped pages stay in the page cache.
class MapAhead {
public:
    MapAhead(const unsigned char* map, std::size_t size) : map_(map), size_(size), thread_([this] { Run(); }) {}
    MapAhead(const MapAhead&) = delete;
    MapAhead& operator=(const MapAhead&) = delete;
    ~MapAhead() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    // The reader has read up to `at`.
    void Reached(const unsigned char* at) {
        {
            std::lock_guard lock(mutex_);
            reached_ = static_cast<std::size_t>(at - map_);
        }
        wake_.notify_one();
    }

private:
    static constexpr std::size_t kStep = std::size_t{1} << 20;
    static constexpr std::size_t kAhead = std::size_t{16} << 20;

    void Run();

    const unsigned char* map_;
    std::size_t size_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::size_t reached_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

}
