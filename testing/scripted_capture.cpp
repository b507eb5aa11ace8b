#include "scripted_capture.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "capture_service.h"

using namespace tonewatch;

namespace {

thread_local bool inside_notification = false;

struct Notification {
    uint32_t message;
    WaveHeader* header;
};

struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> blocks;
    std::vector<uint8_t> stop_fill;
    std::chrono::microseconds delay{0};
    bool fail_open = false;
    bool fail_add = false;
    bool fail_start = false;
    scripted::Counters counters{};
};

Script script;

}

namespace tonewatch {

struct CaptureDevice {
    CaptureNotify notify = nullptr;
    uintptr_t instance = 0;
    std::deque<WaveHeader*> queue;  // in filling order
    bool started = false;
    bool closing = false;
    bool delivering = false;
    std::deque<Notification> pending;
    std::thread thread;
};

namespace {

// Fills the head buffer with `bytes` and hands it back.
void HandBack(CaptureDevice* device, const std::vector<uint8_t>& bytes) {
    WaveHeader* header = device->queue.front();
    device->queue.pop_front();
    const std::size_t n = std::min<std::size_t>(bytes.size(), header->buffer_length);
    // An empty block's data() may be null, which memcpy may not be given even for 0 bytes.
    if (n > 0) std::memcpy(header->data, bytes.data(), n);
    header->bytes_recorded = static_cast<uint32_t>(n);
    header->flags = (header->flags & ~kHeaderInQueue) | kHeaderDone;
    device->pending.push_back({MM_WIM_DATA, header});
}

bool CanFill(const CaptureDevice* device) {
    return device->started && !device->queue.empty() && !script.blocks.empty();
}

// Stops capturing; the head buffer goes back if the script fills it at stop,
// and with `reset` every queued buffer goes back.
void StopDevice(CaptureDevice* device, bool reset) {
    device->started = false;
    if (!device->queue.empty() && !script.stop_fill.empty()) HandBack(device, script.stop_fill);
    while (reset && !device->queue.empty()) HandBack(device, {});
    script.changed.notify_all();
}

void NotificationLoop(CaptureDevice* device) {
    std::unique_lock lock(script.mutex);
    for (;;) {
        script.changed.wait(lock, [&] {
            return !device->pending.empty() || device->closing || CanFill(device);
        });
        if (device->pending.empty() && CanFill(device)) {
            HandBack(device, script.blocks.front());
            script.blocks.pop_front();
        }
        if (device->pending.empty()) {
            if (device->closing) return;
            continue;
        }
        const Notification n = device->pending.front();
        device->pending.pop_front();
        if (n.message == MM_WIM_DATA) ++script.counters.data_notifications;
        device->delivering = true;
        const auto delay = n.message == MM_WIM_DATA ? script.delay : std::chrono::microseconds(0);
        lock.unlock();
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
        inside_notification = true;
        device->notify(device, n.message, device->instance, reinterpret_cast<uintptr_t>(n.header), 0);
        inside_notification = false;
        lock.lock();
        device->delivering = false;
        script.changed.notify_all();
    }
}

CaptureDevice* open_device = nullptr;

}

uint32_t CaptureOpen(CaptureHandle* handle, uint32_t device_id, const WaveFormat* format, CaptureNotify notify,
                     uintptr_t instance, uint32_t flags) {
    std::lock_guard lock(script.mutex);
    if (handle == nullptr || format == nullptr || notify == nullptr || flags != kCallbackFunction) return kCaptureError;
    if (script.fail_open || device_id != 0) return kCaptureBadDevice;
    if (open_device != nullptr) return kCaptureBusy;
    if (format->format_tag != kWaveFormatPcm || format->channels != 1 || format->samples_per_sec != 4000 ||
        format->bits_per_sample != 16 || format->block_align != 2) {
        return kCaptureBadFormat;
    }
    auto* device = new CaptureDevice;
    device->notify = notify;
    device->instance = instance;
    device->pending.push_back({MM_WIM_OPEN, nullptr});
    device->thread = std::thread(NotificationLoop, device);
    open_device = device;
    ++script.counters.open_devices;
    ++script.counters.opens;
    *handle = device;
    return kCaptureOk;
}

uint32_t CapturePrepareHeader(CaptureHandle device, WaveHeader* header, uint32_t header_size) {
    std::lock_guard lock(script.mutex);
    if (device != open_device || device->closing) return kCaptureBadHandle;
    if (header == nullptr || header->data == nullptr || header_size != sizeof(WaveHeader)) return kCaptureError;
    if (header->flags & kHeaderInQueue) return kCaptureStillQueued;
    header->flags |= kHeaderPrepared;
    return kCaptureOk;
}

uint32_t CaptureAddBuffer(CaptureHandle device, WaveHeader* header, uint32_t header_size) {
    std::lock_guard lock(script.mutex);
    if (device != open_device || device->closing) return kCaptureBadHandle;
    if (header_size != sizeof(WaveHeader)) return kCaptureError;
    if (!(header->flags & kHeaderPrepared)) return kCaptureUnprepared;
    if (header->flags & kHeaderInQueue) return kCaptureStillQueued;
    if (script.fail_add) return kCaptureError;
    header->bytes_recorded = 0;
    header->flags = (header->flags & ~kHeaderDone) | kHeaderInQueue;
    device->queue.push_back(header);
    script.changed.notify_all();
    return kCaptureOk;
}

uint32_t CaptureStart(CaptureHandle device) {
    std::lock_guard lock(script.mutex);
    if (device != open_device || device->closing) return kCaptureBadHandle;
    if (script.fail_start) return kCaptureError;
    device->started = true;
    script.changed.notify_all();
    return kCaptureOk;
}

uint32_t CaptureStop(CaptureHandle device) {
    std::lock_guard lock(script.mutex);
    if (device != open_device || device->closing) return kCaptureBadHandle;
    StopDevice(device, false);
    return kCaptureOk;
}

uint32_t CaptureReset(CaptureHandle device) {
    std::lock_guard lock(script.mutex);
    if (device != open_device || device->closing) return kCaptureBadHandle;
    StopDevice(device, true);
    return kCaptureOk;
}

uint32_t CaptureUnprepareHeader(CaptureHandle device, WaveHeader* header, uint32_t header_size) {
    std::lock_guard lock(script.mutex);
    if (device != open_device || device->closing) return kCaptureBadHandle;
    if (header_size != sizeof(WaveHeader)) return kCaptureError;
    if (header->flags & kHeaderInQueue) return kCaptureStillQueued;
    header->flags &= ~kHeaderPrepared;
    return kCaptureOk;
}

uint32_t CaptureClose(CaptureHandle device) {
    std::unique_lock lock(script.mutex);
    if (device != open_device || device->closing) return kCaptureBadHandle;
    if (!device->queue.empty()) {
        ++script.counters.close_refusals;
        return kCaptureStillQueued;
    }
    device->closing = true;
    device->pending.push_back({MM_WIM_CLOSE, nullptr});
    script.changed.notify_all();
    lock.unlock();
    device->thread.join();
    lock.lock();
    open_device = nullptr;
    --script.counters.open_devices;
    ++script.counters.closes;
    delete device;
    script.changed.notify_all();
    return kCaptureOk;
}

}

namespace scripted {

void Reset() {
    std::lock_guard lock(script.mutex);
    script.blocks.clear();
    script.stop_fill.clear();
    script.delay = std::chrono::microseconds(0);
    script.fail_open = script.fail_add = script.fail_start = false;
    script.counters = Counters{};
    script.counters.open_devices = open_device != nullptr ? 1 : 0;
}

void QueueBlock(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(script.mutex);
    script.blocks.push_back(bytes);
    script.changed.notify_all();
}

void SetStopFill(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(script.mutex);
    script.stop_fill = bytes;
}

void DelayNotifications(std::chrono::microseconds delay) {
    std::lock_guard lock(script.mutex);
    script.delay = delay;
}

void FailOpen(bool fail) {
    std::lock_guard lock(script.mutex);
    script.fail_open = fail;
}

void FailAddBuffer(bool fail) {
    std::lock_guard lock(script.mutex);
    script.fail_add = fail;
}

void FailStart(bool fail) {
    std::lock_guard lock(script.mutex);
    script.fail_start = fail;
}

bool WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(script.mutex);
    return script.changed.wait_for(lock, timeout, [] {
        const CaptureDevice* d = open_device;
        if (d == nullptr) return true;
        const bool busy = d->delivering || !d->pending.empty();
        return !busy && !CanFill(d);
    });
}

Counters Count() {
    std::lock_guard lock(script.mutex);
    Counters c = script.counters;
    c.buffer_queued = open_device != nullptr && !open_device->queue.empty();
    c.blocks_left = static_cast<int>(script.blocks.size());
    return c;
}

bool InsideNotification() { return inside_notification; }

}
