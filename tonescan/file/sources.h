// Where the bytes of an input come from: a descriptor read at offsets, or a
// stream read whole into memory; and libsndfile's virtual I/O over them.
#pragma once

#include <sndfile.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
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

}
