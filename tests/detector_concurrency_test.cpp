// The host's threads against the service's notification thread. Run under
// ThreadSanitizer as well as in the plain suite.
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "detector_fixture.h"
#include "host_threads.h"
#include "process_footprint.h"

using namespace tonetest;

namespace {

std::atomic<int> handler_allocations{0};

}

// Counts allocations made from inside a notification, that is by the handler.
void* operator new(std::size_t size) {
    if (scripted::InsideNotification()) handler_allocations.fetch_add(1);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST_F(DetectorTest, HandlerAllocatesNothing) {
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    handler_allocations = 0;
    Play("1.2.3.4.5.6.7.8.9.0.*.#.A.B.C.D.");
    EXPECT_EQ(handler_allocations.load(), 0);
    EXPECT_EQ(PhoneDTMFCheckStop(), 32);
}

TEST_F(DetectorTest, FetchingThreadSeesEveryPressWholeAndInOrder) {
    const std::string keys = "147*2580369#ABCD";
    constexpr int kPresses = 400;
    // Only the last press is a D, so a fetched D shows that it was not lost.
    std::string played;
    for (int i = 0; i < kPresses - 1; ++i) played += keys[i % (keys.size() - 1)];
    played += 'D';

    std::atomic<bool> done{false};
    std::string fetched;
    bool malformed = false;
    std::thread host([&] {
        while (!done.load()) {
            const char16_t* s = PhoneDTMFReturnChar();
            if (s[0] == 0) continue;
            if (s[1] != 0 || s[0] > 0x7F || keys.find(static_cast<char>(s[0])) == std::string::npos) malformed = true;
            fetched += static_cast<char>(s[0]);
        }
    });
    ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
    for (char key : played) {
        scripted::QueueBlock(KeyBlock(key));
        scripted::QueueBlock(SilentBlock());
    }
    ASSERT_TRUE(scripted::WaitIdle(std::chrono::seconds(60)));
    done = true;
    host.join();
    fetched += static_cast<char>(Fetch()[0]);
    if (fetched.back() == '\0') fetched.pop_back();

    EXPECT_FALSE(malformed);
    EXPECT_EQ(PhoneDTMFCheckStop(), 2 * kPresses);
    // Presses between two fetches overwrite each other, so some may be
    // skipped; what is fetched must follow the order played, and the last
    // press is never lost.
    std::size_t at = 0;
    for (char k : fetched) {
        at = played.find(k, at);
        ASSERT_NE(at, std::string::npos) << "fetched out of order: " << fetched;
        ++at;
    }
    ASSERT_FALSE(fetched.empty());
    EXPECT_EQ(fetched.back(), 'D');
}

TEST_F(DetectorTest, StopWhileTheHandlerRequeuesAlwaysCloses) {
    for (int cycle = 0; cycle < 200; ++cycle) {
        scripted::DelayNotifications(std::chrono::microseconds(100));
        for (int i = 0; i < 64; ++i) scripted::QueueBlock(i % 2 ? SilentBlock() : KeyBlock('3'));
        ASSERT_EQ(PhoneDTMFCheckStart(), TONEWATCH_RUNNING);
        // Stop at every point of the handler's work, the re-queue included.
        std::this_thread::sleep_for(std::chrono::microseconds(37 * (cycle % 11)));
        const int32_t count = PhoneDTMFCheckStop();
        const scripted::Counters c = scripted::Count();
        ASSERT_EQ(c.open_devices, 0) << "cycle " << cycle;
        ASSERT_FALSE(c.buffer_queued);
        ASSERT_GE(count, 0);
        ASSERT_LE(count, 64);
        scripted::Reset();
    }
}

// Outside the contract: each call may fail, but none may hang, and no device
// or thread may be left behind.
TEST_F(DetectorTest, StartAndStopFromSeveralThreadsAtOnce) {
    const Footprint before;
    const HostThreadsResult result =
        StartAndStopFromSeveralThreads(300, u"4", [] { scripted::QueueBlock(KeyBlock('4')); });
    PhoneDTMFCheckStop();
    EXPECT_EQ(result.unexpected_results, 0);
    EXPECT_EQ(result.malformed_fetches, 0);
    const scripted::Counters c = scripted::Count();
    EXPECT_EQ(c.open_devices, 0);
    EXPECT_EQ(c.opens, c.closes);
    EXPECT_GT(c.opens, 0);
    const Footprint after = SettledFootprint(before);
    EXPECT_TRUE(NothingLeft(before, after)) << before << " before, " << after << " after";
}
