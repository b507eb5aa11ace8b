// Seconds from the start of capture to the first block handed back, as the
// detector captures: device 0 at 4000/s, one buffer of one block, queued
// again from the notification. Prints the figure, or "none" after 10 s.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "capture_service.h"

using namespace tonewatch;
using Clock = std::chrono::steady_clock;

namespace {

std::mutex mutex;
std::condition_variable arrived;
bool first = false;
bool again = true;
Clock::time_point first_at;

void Notify(CaptureHandle device, uint32_t message, uintptr_t, uintptr_t param1, uintptr_t) {
    if (message != MM_WIM_DATA) return;
    std::lock_guard lock(mutex);
    if (!first) {
        first = true;
        first_at = Clock::now();
        arrived.notify_all();
    }
    if (again) CaptureAddBuffer(device, reinterpret_cast<WaveHeader*>(param1), sizeof(WaveHeader));
}

}

int main() {
    const WaveFormat format{kWaveFormatPcm, 1, 4000, 8000, 2, 16, 0};
    CaptureHandle device = nullptr;
    if (CaptureOpen(&device, 0, &format, Notify, 0, kCallbackFunction) != kCaptureOk) {
        std::fprintf(stderr, "first_block: cannot open the capture device\n");
        return 1;
    }
    static uint8_t buffer[500];
    WaveHeader header{buffer, sizeof buffer, 0, 0, 0, 0, nullptr, 0};
    CapturePrepareHeader(device, &header, sizeof header);
    CaptureAddBuffer(device, &header, sizeof header);
    const Clock::time_point start = Clock::now();
    const bool started = CaptureStart(device) == kCaptureOk;
    bool seen = false;
    {
        std::unique_lock lock(mutex);
        seen = started && arrived.wait_for(lock, std::chrono::seconds(10), [] { return first; });
        again = false;
    }
    if (seen) {
        std::printf("%.4f\n", std::chrono::duration<double>(first_at - start).count());
    } else {
        std::printf("none\n");
    }
    CaptureReset(device);
    CaptureUnprepareHeader(device, &header, sizeof header);
    CaptureClose(device);
    return seen ? 0 : 1;
}
