// The seam to the waveform-input service: the operations the detector needs,
// shaped like the platform's own (open, prepare header, add buffer, start,
// stop, unprepare header, close, and notifications to a function).
//
// Exactly one backend defines these functions in a given link: the ALSA
// service for the shared library, a scripted service in the tests.
//
// Contract every backend keeps:
// - Open delivers MM_WIM_OPEN, close delivers MM_WIM_CLOSE, each filled buffer
//   MM_WIM_DATA, all through the notification function on the service's own
//   notification thread, one at a time and never from inside a call of these
//   functions. param1 of MM_WIM_DATA is the address of the header.
// - A buffer is filled only while it is queued (added and not yet handed back).
//   When it is handed back, bytes_recorded says how much was written; bytes
//   past that are left as they were.
// - The notification function may call CaptureAddBuffer; it must not call
//   stop, unprepare or close, and it must not block for long.
// - Stop ends capture. A queued buffer that holds recorded frames is handed
//   back, partly filled, as MM_WIM_DATA; one with nothing recorded is taken
//   out of the queue without a notification.
// - Add buffer is refused once a close has begun.
// - Close refuses (kCaptureStillQueued) while a buffer is queued, and the
//   device then stays open. Once close succeeds, every pending notification
//   has been delivered, the notification thread is gone and the handle is dead.
// - Results: kCaptureOk (0) means done; anything else is a failure.
#pragma once

#include <cstdint>

namespace tonewatch {

struct CaptureDevice;
using CaptureHandle = CaptureDevice*;

// The platform's PCM format record.
struct WaveFormat {
    uint16_t format_tag;
    uint16_t channels;
    uint32_t samples_per_sec;
    uint32_t avg_bytes_per_sec;
    uint16_t block_align;
    uint16_t bits_per_sample;
    uint16_t extra_size;
};

// The platform's buffer header (32 bytes where pointers are 32-bit).
struct WaveHeader {
    uint8_t* data;
    uint32_t buffer_length;
    uint32_t bytes_recorded;
    uintptr_t user_data;
    uint32_t flags;
    uint32_t loops;
    WaveHeader* next;  // owned by the service
    uintptr_t reserved;  // owned by the service
};
static_assert(sizeof(void*) != 4 || sizeof(WaveHeader) == 32);

using CaptureNotify = void (*)(CaptureHandle device, uint32_t message, uintptr_t instance, uintptr_t param1,
                               uintptr_t param2);

inline constexpr uint16_t kWaveFormatPcm = 1;
inline constexpr uint32_t kCallbackFunction = 0x30000;
inline constexpr uint32_t MM_WIM_OPEN = 0x3BE;
inline constexpr uint32_t MM_WIM_CLOSE = 0x3BF;
inline constexpr uint32_t MM_WIM_DATA = 0x3C0;

// Header flags, kept by the service.
inline constexpr uint32_t kHeaderDone = 0x01;
inline constexpr uint32_t kHeaderPrepared = 0x02;
inline constexpr uint32_t kHeaderInQueue = 0x10;

// Results.
inline constexpr uint32_t kCaptureOk = 0;
inline constexpr uint32_t kCaptureError = 1;
inline constexpr uint32_t kCaptureBadDevice = 2;
inline constexpr uint32_t kCaptureBusy = 4;
inline constexpr uint32_t kCaptureBadHandle = 5;
inline constexpr uint32_t kCaptureNoDriver = 6;
inline constexpr uint32_t kCaptureNoMemory = 7;
inline constexpr uint32_t kCaptureBadFormat = 32;
inline constexpr uint32_t kCaptureStillQueued = 33;
inline constexpr uint32_t kCaptureUnprepared = 34;

uint32_t CaptureOpen(CaptureHandle* handle, uint32_t device_id, const WaveFormat* format, CaptureNotify notify,
                     uintptr_t instance, uint32_t flags);
uint32_t CapturePrepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size);
uint32_t CaptureAddBuffer(CaptureHandle handle, WaveHeader* header, uint32_t header_size);
uint32_t CaptureStart(CaptureHandle handle);
uint32_t CaptureStop(CaptureHandle handle);
uint32_t CaptureUnprepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size);
uint32_t CaptureClose(CaptureHandle handle);

}
