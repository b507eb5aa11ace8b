// Many start/stop cycles of libtonewatch on the real ALSA path (the file
// plugin, which delivers as fast as blocks are taken), with a host thread
// fetching all the while: keys are heard, nothing is left behind, and every
// stop is bounded in time.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "failing_device.h"
#include "host_threads.h"
#include "process_footprint.h"
#include "tone_signals.h"
#include "tonewatch.h"

using namespace tonetest;

namespace {

// A raw input with a key in every other block.
std::string WriteInput() {
    std::vector<int16_t> samples;
    for (int block = 0; block < 40; ++block) {
        const std::vector<int16_t> part =
            block % 2 ? std::vector<int16_t>(250, 0) : Synthesize(KeyTones("159#"[block / 2 % 4], 4000), 250);
        samples.insert(samples.end(), part.begin(), part.end());
    }
    const std::string path = testing::TempDir() + "tonewatch_stress.raw";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(samples.data(), sizeof(int16_t), samples.size(), file);
    std::fclose(file);
    return path;
}

void UseFileDevice() {
    setenv("ALSA_CONFIG_PATH", TONEWATCH_ALSA_CONF_DIR "/file.conf", 1);
    setenv("TONEWATCH_TEST_INFILE", WriteInput().c_str(), 1);
    unsetenv("TONEWATCH_CAPTURE_DEVICE");
    // The first open loads ALSA's configuration for good; count after it.
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    PhoneDTMFCheckStop();
}

}

TEST(AlsaStress, TenThousandCyclesWithAFetchingThread) {
    const int cycles = std::getenv("TONEWATCH_STRESS_CYCLES") ? std::atoi(std::getenv("TONEWATCH_STRESS_CYCLES")) : 10000;
    UseFileDevice();
    const Footprint before;

    std::atomic<bool> done{false};
    std::atomic<int> fetched{0};
    std::thread host([&] {
        while (!done.load()) {
            if (PhoneDTMFReturnChar()[0] != 0) fetched.fetch_add(1);
            std::this_thread::yield();
        }
    });
    auto slowest = std::chrono::steady_clock::duration::zero();
    long blocks = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING) << "cycle " << cycle;
        if (cycle % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto start = std::chrono::steady_clock::now();
        blocks += PhoneDTMFCheckStop();
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    }
    done = true;
    host.join();
    EXPECT_GT(blocks, 0);
    EXPECT_GT(fetched.load(), 0);
    const Footprint after = SettledFootprint(before);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_LT(slowest, std::chrono::seconds(2));
    std::printf("%d cycles, %ld blocks, %d keys fetched, slowest stop %lld us\n", cycles, blocks, fetched.load(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(slowest).count()));
}

// Outside the contract: no call may hang, and no device, thread or
// descriptor may be left behind.
TEST(AlsaStress, StartAndStopFromSeveralThreadsAtOnce) {
    UseFileDevice();
    const Footprint before;
    const HostThreadsResult result = StartAndStopFromSeveralThreads(300, u"159#");
    PhoneDTMFCheckStop();
    EXPECT_EQ(result.unexpected_results, 0);
    EXPECT_EQ(result.malformed_fetches, 0);
    const Footprint after = SettledFootprint(before);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
}

// A device that fails for good ends capture by itself; the next stop still
// returns every block analysed, the partly filled last one included.
TEST(AlsaFailingDevice, StopAfterTheDeviceGaveUpReturnsTheCount) {
    FailingDevice failing(2 * 250 + 100, -1, EPIPE);
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (failing.Stops() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(failing.Stops(), 1) << "capture did not end by itself";
    EXPECT_EQ(PhoneDTMFCheckStop(), 3);
}
