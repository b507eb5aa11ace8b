// A host that breaks the threading contract: three threads starting and
// stopping the detector at once while three others fetch. Each call may fail,
// but none may hang: a hang ends the process with a message, since hung
// threads cannot be joined.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tonewatch.h"

namespace tonetest {

struct HostThreadsResult {
    int unexpected_results = 0;  // a start other than 999 or 1, a negative count
    int malformed_fetches = 0;   // not "" and not one key of `keys`
};

// `before_start` runs on a controlling thread before each of its starts.
inline HostThreadsResult StartAndStopFromSeveralThreads(int cycles, const std::u16string& keys,
                                                        const std::function<void()>& before_start = {}) {
    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> malformed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!done.load()) {
                const char16_t* s = PhoneDTMFReturnChar();
                if (s[0] != 0 && (s[1] != 0 || keys.find(s[0]) == std::u16string::npos)) malformed.fetch_add(1);
                std::this_thread::yield();
            }
        });
    }
    int controllers_left = 3;
    std::mutex mutex;
    std::condition_variable finished;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int cycle = 0; cycle < cycles; ++cycle) {
                if (before_start) before_start();
                const int32_t started = PhoneDTMFCheckStart();
                if (started != TONEWATCH_RUNNING && started != TONEWATCH_OPEN_FAILED) unexpected.fetch_add(1);
                if (PhoneDTMFCheckStop() < 0) unexpected.fetch_add(1);
            }
            const std::lock_guard lock(mutex);
            if (--controllers_left == 0) finished.notify_all();
        });
    }
    {
        std::unique_lock lock(mutex);
        if (!finished.wait_for(lock, std::chrono::seconds(120), [&] { return controllers_left == 0; })) {
            std::fprintf(stderr, "start and stop from several threads at once hung\n");
            std::abort();
        }
    }
    done = true;
    for (std::thread& thread : threads) thread.join();
    return {unexpected.load(), malformed.load()};
}

}
