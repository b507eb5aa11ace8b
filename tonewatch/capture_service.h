// The seam to the waveform-input service: the operations the detector needs,
// shaped like the platform's own (open, prepare header, add buffer, start,
// stop, reset, unprepare header, close, and notifications to a function), with
// the platform's documented behaviour as the contract. Exactly one backend
// defines these functions in a given link: the ALSA or winmm service for the
// shared library, a scripted service in the tests. One contract test suite
// runs against every backend.
//
// Notifications
// - Open delivers MM_WIM_OPEN, a successful close MM_WIM_CLOSE, each buffer
//   handed back MM_WIM_DATA with param1 the address of its header; nothing
//   else is delivered. All go through the notification function on the
//   service's own notification thread, in that order, one at a time, never on
//   the thread of a seam call.
// - The notification function may call CaptureAddBuffer, and nothing else of
//   the seam; it must not block for long.
//
// Buffers
// - Any number of distinct prepared headers may be queued; they are filled in
//   the order they were added, the head first. A buffer is written only while
//   it is queued, from its first byte; bytes_recorded counts what was written
//   and bytes past that are left as they were.
// - A buffer leaves the queue when it is full, and at stop or reset (below).
//   It then has kHeaderDone set and kHeaderInQueue clear, and is handed back
//   with MM_WIM_DATA. The header's flags and bytes_recorded belong to the
//   service while the buffer is queued.
//
// Operations (every one but open takes a handle from a successful open that
// has not been closed; any other handle is outside the contract)
//   open       Opens device `device_id` (only 0 exists) in `format` with
//              `notify` and `instance`; `flags` must be kCallbackFunction.
//              Fills *handle on success and leaves it alone on failure.
//              kCaptureBadDevice: no such device; kCaptureBusy: the device is
//              in use; kCaptureNoDriver: no audio system to reach;
//              kCaptureBadFormat: the format cannot be captured;
//              kCaptureNoMemory: out of memory or threads; kCaptureError: a
//              null pointer or other flags.
//   prepare    Marks the header prepared (kHeaderPrepared). kCaptureError: a
//              null header or data pointer, or a size other than
//              sizeof(WaveHeader); kCaptureStillQueued: the header is queued.
//   add buffer Appends a prepared header to the queue, bytes_recorded set to
//              0. kCaptureUnprepared: not prepared; kCaptureStillQueued:
//              already queued; kCaptureBadHandle: a close has begun;
//              kCaptureError: a bad header or size, or the service cannot
//              take it.
//   start      Starts capturing into the queue; a started device stays so.
//              kCaptureError: the device cannot run.
//   stop       Ends capturing. If the head buffer holds recorded bytes it is
//              handed back, partly filled; empty buffers stay queued. Stopping
//              a stopped device does nothing. A device that fails for good
//              while capturing stops itself in the same way.
//   reset      Stops as stop does, then hands back every buffer still queued,
//              in queue order, those with nothing recorded included.
//   unprepare  Clears kHeaderPrepared. kCaptureStillQueued: the header is
//              queued; kCaptureError: a bad header or size.
//   close      kCaptureStillQueued while any buffer is queued: the device
//              stays open and usable. Otherwise closes: returns after every
//              notification, MM_WIM_CLOSE last, has been delivered and the
//              notification thread is gone; the handle is then dead.
// Stop and reset return once the buffers they hand back are out of the queue
// (flags as above); their MM_WIM_DATA may be delivered before or after the
// call returns, and always before a close returns. Results other than
// kCaptureOk leave the service as it was.
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

// Results, with the platform's values; the operations above say when each
// is given.
inline constexpr uint32_t kCaptureOk = 0;             // MMSYSERR_NOERROR
inline constexpr uint32_t kCaptureError = 1;          // MMSYSERR_ERROR
inline constexpr uint32_t kCaptureBadDevice = 2;      // MMSYSERR_BADDEVICEID
inline constexpr uint32_t kCaptureBusy = 4;           // MMSYSERR_ALLOCATED
inline constexpr uint32_t kCaptureBadHandle = 5;      // MMSYSERR_INVALHANDLE
inline constexpr uint32_t kCaptureNoDriver = 6;       // MMSYSERR_NODRIVER
inline constexpr uint32_t kCaptureNoMemory = 7;       // MMSYSERR_NOMEM
inline constexpr uint32_t kCaptureBadFormat = 32;     // WAVERR_BADFORMAT
inline constexpr uint32_t kCaptureStillQueued = 33;   // WAVERR_STILLPLAYING
inline constexpr uint32_t kCaptureUnprepared = 34;    // WAVERR_UNPREPARED

uint32_t CaptureOpen(CaptureHandle* handle, uint32_t device_id, const WaveFormat* format, CaptureNotify notify,
                     uintptr_t instance, uint32_t flags);
uint32_t CapturePrepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size);
uint32_t CaptureAddBuffer(CaptureHandle handle, WaveHeader* header, uint32_t header_size);
uint32_t CaptureStart(CaptureHandle handle);
uint32_t CaptureStop(CaptureHandle handle);
uint32_t CaptureReset(CaptureHandle handle);
uint32_t CaptureUnprepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size);
uint32_t CaptureClose(CaptureHandle handle);

}
