// What a process holds, to check that a run left nothing behind.
#pragma once

#include <chrono>
#include <filesystem>
#include <thread>

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

// /proc/self/task can still list a thread for a moment after pthread_join has
// returned (often under qemu-user, now and then on a loaded machine), so a
// count taken right after a join may be one too high, and so may a baseline
// taken just after an earlier test. These wait, up to a deadline, until no
// more threads are listed than `at_most`, and return the last count: a run
// left nothing behind when its settled count is no higher than its baseline.
inline int SettledThreads(int at_most, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    int now = CountThreads();
    while (now > at_most && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        now = CountThreads();
    }
    return now;
}

inline Footprint SettledFootprint(const Footprint& baseline) {
    SettledThreads(baseline.threads);
    return Footprint();
}

}
