// What a process holds, to check that a run left nothing behind.
#pragma once

#include <filesystem>

namespace tonetest {

inline int CountEntries(const char* folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer starts a thread of its own whenever it likes: threads are
// not counted there.
inline int CountThreads() { return 0; }
#else
inline int CountThreads() { return CountEntries("/proc/self/task"); }
#endif

// Open descriptors and threads of this process.
struct Footprint {
    int descriptors = CountEntries("/proc/self/fd");
    int threads = CountThreads();
    bool operator==(const Footprint&) const = default;
};

}
