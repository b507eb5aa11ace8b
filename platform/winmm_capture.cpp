// The waveform-input service on winmm (waveIn*), behind tonewatch.dll. Device
// 0 is the system's preferred capture device, opened through the wave mapper,
// which converts when the device cannot capture the requested format itself.
//
// winmm calls the open's callback function on threads of its own, and
// documents that nothing but a few calls (critical sections, SetEvent, posted
// messages, timers) may be made there: no wave function, no allocation. So the
// callback only records the message and wakes the device's own thread, which
// delivers the notifications in order, one at a time, and may therefore queue
// buffers again. winmm may also call back inside a seam call, on the caller's
// thread (Wine does in open, stop, reset and close), so no lock that the
// callback takes is ever held across a wave function.
//
// Where Wine's winmm is looser than the documented API, the service keeps the
// documented rule itself:
//   documented (and this service)            Wine 8
//   close refused while a buffer is queued   closes; the buffer is never
//     (WAVERR_STILLPLAYING)                    handed back
//   a buffer already queued is not queued    links it into its queue twice
//     again
//
// An open device keeps the code that winmm and its thread run loaded: the
// thread holds a reference to this module and to the notification function's,
// and gives them back with FreeLibraryAndExitThread once it has delivered the
// close. A host that unloads tonewatch.dll while capturing therefore leaves
// it loaded, and capturing, until PhoneDTMFCheckStop or process exit. Closing
// the device from the loader's DllMain instead is not possible: waveInClose
// waits on threads that must take the loader lock to exit (Wine's hangs there
// for good), and DllMain must not wait on other threads.
#include "capture_service.h"

#include <cstddef>
#include <new>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

namespace tonewatch {

// The seam's records are the platform's, so headers go to winmm as they are.
static_assert(sizeof(WaveHeader) == sizeof(WAVEHDR));
static_assert(offsetof(WaveHeader, data) == offsetof(WAVEHDR, lpData));
static_assert(offsetof(WaveHeader, buffer_length) == offsetof(WAVEHDR, dwBufferLength));
static_assert(offsetof(WaveHeader, bytes_recorded) == offsetof(WAVEHDR, dwBytesRecorded));
static_assert(offsetof(WaveHeader, user_data) == offsetof(WAVEHDR, dwUser));
static_assert(offsetof(WaveHeader, flags) == offsetof(WAVEHDR, dwFlags));
static_assert(offsetof(WaveHeader, loops) == offsetof(WAVEHDR, dwLoops));
static_assert(offsetof(WaveHeader, next) == offsetof(WAVEHDR, lpNext));
static_assert(offsetof(WaveHeader, reserved) == offsetof(WAVEHDR, reserved));
static_assert(kHeaderDone == WHDR_DONE && kHeaderPrepared == WHDR_PREPARED && kHeaderInQueue == WHDR_INQUEUE);
static_assert(kCallbackFunction == CALLBACK_FUNCTION);

namespace {

// A buffer handed back by a stop or reset reaches the callback from winmm's
// thread, possibly after the call returned; reset waits this long for them.
constexpr DWORD kHandBackTimeoutMs = 2000;

struct Notification {
    uint32_t message;
    WaveHeader* header;
};

}

struct CaptureDevice {
    HWAVEIN wave = nullptr;
    CaptureNotify notify = nullptr;
    uintptr_t instance = 0;
    HMODULE own_module = nullptr;
    HMODULE notify_module = nullptr;
    HANDLE thread = nullptr;
    HANDLE wake = nullptr;         // auto-reset: a notification is pending
    HANDLE handed_back = nullptr;  // manual-reset: set while nothing is queued
    CRITICAL_SECTION lock;

    // Guarded by lock. The callback may not allocate, so both arrays are
    // grown by add buffer to hold every notification that can be pending:
    // open, close, and one for each buffer queued or handed back.
    WaveHeader** queued = nullptr;  // added and not yet handed back
    std::size_t queued_count = 0;
    Notification* pending = nullptr;  // a ring, oldest at pending_head
    std::size_t pending_head = 0;
    std::size_t pending_count = 0;
    std::size_t capacity = 0;  // of both arrays
    bool closing = false;
    bool abandoned = false;  // the open failed: the thread leaves at once
};

namespace {

// Pending notifications beyond the queued buffers: open and close.
constexpr std::size_t kFixedNotifications = 2;

WAVEHDR* AsWaveHdr(WaveHeader* header) { return reinterpret_cast<WAVEHDR*>(header); }

uint32_t Result(MMRESULT result) {
    switch (result) {
    case MMSYSERR_NOERROR: return kCaptureOk;
    case MMSYSERR_BADDEVICEID: return kCaptureBadDevice;
    case MMSYSERR_ALLOCATED: return kCaptureBusy;
    case MMSYSERR_INVALHANDLE: return kCaptureBadHandle;
    case MMSYSERR_NODRIVER: return kCaptureNoDriver;
    case MMSYSERR_NOMEM: return kCaptureNoMemory;
    case WAVERR_BADFORMAT: return kCaptureBadFormat;
    case WAVERR_STILLPLAYING: return kCaptureStillQueued;
    case WAVERR_UNPREPARED: return kCaptureUnprepared;
    default: return kCaptureError;
    }
}

bool FormatSupported(const WaveFormat& format) {
    return format.format_tag == kWaveFormatPcm && format.channels == 1 && format.bits_per_sample == 16 &&
           format.block_align == 2 && format.samples_per_sec > 0;
}

bool HeaderUsable(const WaveHeader* header, uint32_t header_size) {
    return header != nullptr && header_size == sizeof(WaveHeader);
}

// Called with the lock held.
bool IsQueued(const CaptureDevice& d, const WaveHeader* header) {
    for (std::size_t i = 0; i < d.queued_count; ++i) {
        if (d.queued[i] == header) return true;
    }
    return false;
}

void RemoveQueued(CaptureDevice& d, const WaveHeader* header) {
    for (std::size_t i = 0; i < d.queued_count; ++i) {
        if (d.queued[i] != header) continue;
        for (std::size_t j = i + 1; j < d.queued_count; ++j) d.queued[j - 1] = d.queued[j];
        if (--d.queued_count == 0) SetEvent(d.handed_back);
        return;
    }
}

// Grows both arrays to hold `wanted` entries; the ring keeps its order.
bool Reserve(CaptureDevice& d, std::size_t wanted) {
    if (wanted <= d.capacity) return true;
    const std::size_t capacity = wanted * 2;
    auto* queued = new (std::nothrow) WaveHeader*[capacity];
    auto* pending = new (std::nothrow) Notification[capacity];
    if (queued == nullptr || pending == nullptr) {
        delete[] queued;
        delete[] pending;
        return false;
    }
    for (std::size_t i = 0; i < d.queued_count; ++i) queued[i] = d.queued[i];
    for (std::size_t i = 0; i < d.pending_count; ++i) pending[i] = d.pending[(d.pending_head + i) % d.capacity];
    delete[] d.queued;
    delete[] d.pending;
    d.queued = queued;
    d.pending = pending;
    d.pending_head = 0;
    d.capacity = capacity;
    return true;
}

void CALLBACK WaveInCallback(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    auto& d = *reinterpret_cast<CaptureDevice*>(instance);
    auto* header = message == WIM_DATA ? reinterpret_cast<WaveHeader*>(param1) : nullptr;
    EnterCriticalSection(&d.lock);
    if (header != nullptr) RemoveQueued(d, header);
    d.pending[(d.pending_head + d.pending_count) % d.capacity] = {message, header};
    ++d.pending_count;
    LeaveCriticalSection(&d.lock);
    SetEvent(d.wake);
}

DWORD WINAPI NotificationThread(void* argument) {
    CaptureDevice& d = *static_cast<CaptureDevice*>(argument);
    for (bool open = true; open;) {
        WaitForSingleObject(d.wake, INFINITE);
        for (;;) {
            EnterCriticalSection(&d.lock);
            if (d.abandoned) {
                LeaveCriticalSection(&d.lock);
                open = false;
                break;
            }
            if (d.pending_count == 0) {
                LeaveCriticalSection(&d.lock);
                break;
            }
            const Notification n = d.pending[d.pending_head];
            d.pending_head = (d.pending_head + 1) % d.capacity;
            --d.pending_count;
            LeaveCriticalSection(&d.lock);
            d.notify(&d, n.message, d.instance, reinterpret_cast<uintptr_t>(n.header), 0);
            if (n.message == WIM_CLOSE) {
                open = false;
                break;
            }
        }
    }
    // The closer waits for this thread to end before it frees the device.
    const HMODULE own_module = d.own_module;
    FreeLibrary(d.notify_module);
    FreeLibraryAndExitThread(own_module, 0);
}

void Release(CaptureDevice* d) {
    if (d->thread != nullptr) CloseHandle(d->thread);
    if (d->wake != nullptr) CloseHandle(d->wake);
    if (d->handed_back != nullptr) CloseHandle(d->handed_back);
    DeleteCriticalSection(&d->lock);
    delete[] d->queued;
    delete[] d->pending;
    delete d;
}

// A reference to the module holding `address`, or null.
HMODULE ModuleOf(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(address), &module)) {
        return nullptr;
    }
    return module;
}

// Everything but the wave device: the thread, holding the module references.
uint32_t Prepare(CaptureDevice& d) {
    InitializeCriticalSection(&d.lock);
    d.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    d.handed_back = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (d.wake == nullptr || d.handed_back == nullptr || !Reserve(d, kFixedNotifications + 2)) return kCaptureNoMemory;
    d.own_module = ModuleOf(reinterpret_cast<const void*>(&NotificationThread));
    d.notify_module = ModuleOf(reinterpret_cast<const void*>(d.notify));
    if (d.own_module == nullptr || d.notify_module == nullptr) return kCaptureError;
    d.thread = CreateThread(nullptr, 0, NotificationThread, &d, 0, nullptr);
    return d.thread != nullptr ? kCaptureOk : kCaptureNoMemory;
}

// Undoes Prepare: the thread, if it runs, leaves and gives the references back.
void Abandon(CaptureDevice* d) {
    if (d->thread != nullptr) {
        EnterCriticalSection(&d->lock);
        d->abandoned = true;
        LeaveCriticalSection(&d->lock);
        SetEvent(d->wake);
        WaitForSingleObject(d->thread, INFINITE);
    } else {
        if (d->own_module != nullptr) FreeLibrary(d->own_module);
        if (d->notify_module != nullptr) FreeLibrary(d->notify_module);
    }
    Release(d);
}

}

uint32_t CaptureOpen(CaptureHandle* handle, uint32_t device_id, const WaveFormat* format, CaptureNotify notify,
                     uintptr_t instance, uint32_t flags) {
    if (handle == nullptr || format == nullptr || notify == nullptr || flags != kCallbackFunction) return kCaptureError;
    if (device_id != 0) return kCaptureBadDevice;
    if (!FormatSupported(*format)) return kCaptureBadFormat;

    auto* d = new (std::nothrow) CaptureDevice;
    if (d == nullptr) return kCaptureNoMemory;
    d->notify = notify;
    d->instance = instance;
    uint32_t result = Prepare(*d);
    if (result == kCaptureOk) {
        const WAVEFORMATEX wave_format{WAVE_FORMAT_PCM, 1, format->samples_per_sec, format->samples_per_sec * 2, 2, 16, 0};
        result = Result(waveInOpen(&d->wave, WAVE_MAPPER, &wave_format, reinterpret_cast<DWORD_PTR>(&WaveInCallback),
                                   reinterpret_cast<DWORD_PTR>(d), CALLBACK_FUNCTION));
    }
    if (result != kCaptureOk) {
        Abandon(d);
        return result;
    }
    *handle = d;
    return kCaptureOk;
}

uint32_t CapturePrepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size) {
    if (!HeaderUsable(header, header_size) || header->data == nullptr) return kCaptureError;
    EnterCriticalSection(&handle->lock);
    const bool queued = IsQueued(*handle, header);
    LeaveCriticalSection(&handle->lock);
    if (queued) return kCaptureStillQueued;
    return Result(waveInPrepareHeader(handle->wave, AsWaveHdr(header), sizeof(WAVEHDR)));
}

uint32_t CaptureAddBuffer(CaptureHandle handle, WaveHeader* header, uint32_t header_size) {
    if (!HeaderUsable(header, header_size)) return kCaptureError;
    CaptureDevice& d = *handle;
    EnterCriticalSection(&d.lock);
    uint32_t result = kCaptureOk;
    if (d.closing) {
        result = kCaptureBadHandle;
    } else if (IsQueued(d, header)) {
        result = kCaptureStillQueued;
    } else if (!(header->flags & kHeaderPrepared)) {
        result = kCaptureUnprepared;
    } else if (!Reserve(d, d.pending_count + d.queued_count + 1 + kFixedNotifications)) {
        result = kCaptureError;
    } else {
        // Counted as queued before winmm has it: its hand-back may come at once.
        d.queued[d.queued_count++] = header;
        ResetEvent(d.handed_back);
    }
    LeaveCriticalSection(&d.lock);
    if (result != kCaptureOk) return result;

    result = Result(waveInAddBuffer(d.wave, AsWaveHdr(header), sizeof(WAVEHDR)));
    if (result != kCaptureOk) {
        EnterCriticalSection(&d.lock);
        RemoveQueued(d, header);
        LeaveCriticalSection(&d.lock);
    }
    return result;
}

uint32_t CaptureStart(CaptureHandle handle) {
    return waveInStart(handle->wave) == MMSYSERR_NOERROR ? kCaptureOk : kCaptureError;
}

uint32_t CaptureStop(CaptureHandle handle) { return Result(waveInStop(handle->wave)); }

uint32_t CaptureReset(CaptureHandle handle) {
    const uint32_t result = Result(waveInReset(handle->wave));
    if (result == kCaptureOk) WaitForSingleObject(handle->handed_back, kHandBackTimeoutMs);
    return result;
}

uint32_t CaptureUnprepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size) {
    if (!HeaderUsable(header, header_size)) return kCaptureError;
    EnterCriticalSection(&handle->lock);
    const bool queued = IsQueued(*handle, header);
    LeaveCriticalSection(&handle->lock);
    if (queued) return kCaptureStillQueued;
    return Result(waveInUnprepareHeader(handle->wave, AsWaveHdr(header), sizeof(WAVEHDR)));
}

uint32_t CaptureClose(CaptureHandle handle) {
    CaptureDevice& d = *handle;
    EnterCriticalSection(&d.lock);
    const bool queued = d.queued_count > 0;
    d.closing = !queued;
    LeaveCriticalSection(&d.lock);
    if (queued) return kCaptureStillQueued;

    const uint32_t result = Result(waveInClose(d.wave));
    if (result != kCaptureOk) {
        EnterCriticalSection(&d.lock);
        d.closing = false;
        LeaveCriticalSection(&d.lock);
        return result;
    }
    // The thread ends once it has delivered the close, the last notification.
    WaitForSingleObject(d.thread, INFINITE);
    Release(handle);
    return kCaptureOk;
}

}
