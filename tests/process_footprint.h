// What a process holds, to check that a run left nothing behind.
#pragma once

#include <chrono>
#include <ostream>
#include <thread>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>
#else
#include <filesystem>
#endif

namespace tonetest {

#if defined(_WIN32)
// Wine's GetProcessHandleCount always says 0, so the handles are counted by
// asking about each handle value a small process can have.
inline int CountHandles() {
    constexpr UINT_PTR kHandleValues = 0x4000;
    int count = 0;
    DWORD flags;
    for (UINT_PTR value = 4; value < kHandleValues; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

inline int CountThreads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}
#else
inline int CountEntries(const char* folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}

inline int CountHandles() { return CountEntries("/proc/self/fd"); }

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer starts a thread of its own whenever it likes: threads are
// not counted there.
inline int CountThreads() { return 0; }
#else
inline int CountThreads() { return CountEntries("/proc/self/task"); }
#endif
#endif

// Handles that Windows' threads library (winpthread) creates on its own, once
// per lock or condition, when it is first contended: not a leak, which would
// grow with every cycle of a run.
#if defined(_WIN32)
inline constexpr int kLazyRuntimeHandles = 8;
#else
inline constexpr int kLazyRuntimeHandles = 0;
#endif

// Open descriptors (handles on Windows) and threads of this process.
struct Footprint {
    int descriptors = CountHandles();
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

// Whether a run left nothing behind: no more threads than before once they
// have settled, and the same descriptors but for those the runtime creates
// lazily.
inline bool NothingLeft(const Footprint& before, const Footprint& after) {
    return after.threads <= before.threads && after.descriptors >= before.descriptors &&
           after.descriptors <= before.descriptors + kLazyRuntimeHandles;
}

inline std::ostream& operator<<(std::ostream& out, const Footprint& f) {
    return out << f.descriptors << " descriptors, " << f.threads << " threads";
}

}
