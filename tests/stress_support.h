// What a process holds, to check that a run left nothing behind.
#pragma once

#include <filesystem>

namespace tonetest {

inline int CountEntries(const char* folder) {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

inline int ThreadCount() { return CountEntries("/proc/self/task"); }
inline int DescriptorCount() { return CountEntries("/proc/self/fd"); }

}
