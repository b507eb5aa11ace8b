#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "process_footprint.h"

using tonetest::CountThreads;
using tonetest::SettledThreads;

TEST(DetectorUnload, UnloadingStopsARunningCapture) {
    const int threads_before = CountThreads();
    void* module = dlopen(UNLOAD_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto start = reinterpret_cast<int32_t (*)(int)>(dlsym(module, "UnloadModuleStartBusyCapture"));
    ASSERT_NE(start, nullptr);
    ASSERT_EQ(start(5000), 999);
    EXPECT_EQ(CountThreads(), threads_before + 1);
    // Were capture left running, the notification thread would now call into
    // unmapped code.
    ASSERT_EQ(dlclose(module), 0);
    EXPECT_LE(SettledThreads(threads_before), threads_before);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}
