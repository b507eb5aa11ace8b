// Many start/stop cycles of the detector over the scripted service, with a
// host thread fetching all the while: no thread, descriptor or device left
// behind, and every stop bounded in time.
#include <atomic>
#include <chrono>
#include <thread>

#include "detector_fixture.h"
#include "process_footprint.h"

using namespace tonetest;

TEST_F(DetectorTest, TenThousandCyclesWithAFetchingThread) {
    constexpr int kCycles = 10000;
    const std::vector<uint8_t> key = KeyBlock('6'), silence = SilentBlock();
    const Footprint before;
    std::atomic<bool> done{false};
    std::atomic<int> fetched{0};
    std::thread host([&] {
        while (!done.load()) {
            if (PhoneDTMFReturnChar()[0] != 0) fetched.fetch_add(1);
        }
    });
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        scripted::QueueBlock(key);
        scripted::QueueBlock(silence);
        ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING) << "cycle " << cycle;
        if (cycle % 2) {
            ASSERT_TRUE(scripted::WaitIdle());
        }
        const auto start = std::chrono::steady_clock::now();
        const int32_t blocks = PhoneDTMFCheckStop();
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        ASSERT_GE(blocks, 0);
        ASSERT_LE(blocks, 2);
        const scripted::Counters c = scripted::Count();
        ASSERT_EQ(c.open_devices, 0) << "cycle " << cycle;
        ASSERT_FALSE(c.buffer_queued);
        scripted::Reset();  // blocks not delivered before the stop are dropped
    }
    done = true;
    host.join();
    EXPECT_GT(fetched.load(), 0);
    const Footprint after = SettledFootprint(before);
    EXPECT_TRUE(NothingLeft(before, after)) << before << " before, " << after << " after";
    EXPECT_LT(slowest, std::chrono::seconds(1));
    RecordProperty("slowest_stop_us",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(slowest).count()));
}
