#include "sources.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tonescan {

std::string ErrnoText() { return std::strerror(errno); }

// Reads exactly `n` bytes at `offset` unless the file ends first; returns the
// number read, or -1 with errno set.
ssize_t ReadFully(int fd, void* out, std::size_t n, off_t offset) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(fd, static_cast<char*>(out) + done, n - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool Source::ReadAt(uint64_t offset, unsigned char* out, std::size_t n) {
    if (offset > static_cast<uint64_t>(length) || n > static_cast<uint64_t>(length) - offset) return false;
    const auto at = static_cast<sf_count_t>(offset);
    if (fd < 0) {
        std::memcpy(out, memory.data() + at, n);
    } else {
        const ssize_t got = ReadFully(fd, out, n, base + at);
        if (got < 0) read_error = errno;
        if (got != static_cast<ssize_t>(n)) return false;
    }
    for (std::size_t i = 0; patch_at >= 0 && i < patch.size(); ++i) {
        const sf_count_t byte = patch_at + static_cast<sf_count_t>(i);
        if (byte >= at && byte < at + static_cast<sf_count_t>(n)) out[byte - at] = patch[i];
    }
    return true;
}

namespace {

Source& SourceOf(void* user) { return *static_cast<Source*>(user); }

sf_count_t SourceLength(void* user) { return SourceOf(user).length; }

sf_count_t SourceSeek(sf_count_t offset, int whence, void* user) {
    Source& source = SourceOf(user);
    const sf_count_t origin = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? source.position : source.length;
    if (offset > source.length || offset < -source.length) return -1;
    const sf_count_t target = origin + offset;
    if (target < 0 || target > source.length) return -1;
    source.position = target;
    return target;
}

sf_count_t SourceRead(void* destination, sf_count_t count, void* user) {
    Source& source = SourceOf(user);
    const sf_count_t n = std::clamp<sf_count_t>(source.length - source.position, 0, count);
    if (n == 0 || !source.ReadAt(static_cast<uint64_t>(source.position), static_cast<unsigned char*>(destination),
                                 static_cast<std::size_t>(n))) {
        return 0;
    }
    source.position += n;
    return n;
}

sf_count_t SourceWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t SourceTell(void* user) { return SourceOf(user).position; }


}

SF_VIRTUAL_IO SourceIo() { return {SourceLength, SourceSeek, SourceRead, SourceWrite, SourceTell}; }

}
