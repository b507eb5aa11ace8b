// The waveform-input service on ALSA. Device 0 is ALSA's "default" capture
// PCM, or the PCM named by TONEWATCH_CAPTURE_DEVICE when that is set.
//
// The device is asked for the requested rate with ALSA's own resampling
// turned off: its linear converter does not filter, and folds tones above
// 2 kHz onto DTMF pairs (3148 + 2523 Hz reads as 9 at 4000/s). A device that
// cannot run at the requested rate captures at one it supports, and soxr
// converts with a proper anti-aliasing filter.
//
// One service thread per open device does all the work on the PCM: it starts,
// reads, recovers and stops it, and delivers every notification. The seam
// calls only queue buffers or hand the thread a request and wait for it, so
// notifications never run inside a seam call and never overlap. The thread
// reads only while started and a buffer is queued, and sleeps in poll (on the
// PCM and an eventfd that wakes it for requests) or on a condition variable.
//
// Every wait on the sound server is bounded. Reads, polls and the PCM's
// state are answered by the plugin without the server; opening, starting,
// preparing, resuming, dropping and closing wait for its answer, for ever when
// it is frozen, so they run through alsaworker::BoundedCall. One that does not
// return in time leaves its PCM to the call's thread: the device has failed
// for good, as one whose reads keep failing, and a stop or close returns at
// once. The open is given longer, since a server connects and sets up a
// stream then, which is slow on a busy machine.
#include "capture_service.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <soxr.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "alsa_worker.h"

namespace tonewatch {

namespace {

// Rates tried in this order when the device cannot run at the requested rate:
// small multiples of 4000 keep the converter cheap.
constexpr unsigned kFallbackRates[] = {8000, 16000, 48000, 44100};

// A period is one and a half of the detector's 62.5 ms blocks, so that each
// wakeup hands over one block or two, never three: presses, which come at
// least two blocks apart, are then handed over at least a period apart, and a
// host that fetches the latest press every 60 ms misses none. Longer periods
// would wake less often but delay PipeWire's first block past 0.25 s.
// (PulseAudio's plugin counts a few frames fewer than a packet holds, so with
// periods of exactly one block the first would wait for a second packet.)
constexpr unsigned kPeriodMicroseconds = 94000;
// Shorter than two blocks, whatever periods the device offers.
constexpr unsigned kLongestPeriodMicroseconds = 125000;
constexpr unsigned kBufferMicroseconds = 500000;
constexpr int kStagingFrames = 4096;
constexpr int kMaxPollFds = 8;
// A bound on every wait, so that a plugin that never signals cannot hang us.
constexpr int kPollTimeoutMs = 1000;
constexpr int kNapMs = 5;
// How long after its frames are due a quiet descriptor is waited for.
constexpr int kLateMs = 15;
// A device that fails is tried again at once, then after naps that double
// from kFirstRetryNapMs up to kLongestRetryNapMs, so that one that keeps
// failing does not take a core. One that has failed for kGiveUpMs without
// delivering a frame ends capture, as a stop would.
constexpr int kFirstRetryNapMs = 10;
constexpr int kLongestRetryNapMs = 500;
constexpr int kGiveUpMs = 3000;
// Bounds on the calls that wait for the sound server: a stop or close then
// returns within a second even when the server is frozen.
constexpr std::chrono::milliseconds kOpenBound{3000};
constexpr std::chrono::milliseconds kStartBound{3000};
constexpr std::chrono::milliseconds kCallBound{800};

enum class Request { kNone, kStart, kStop, kReset, kClose };

}

struct CaptureDevice {
    snd_pcm_t* pcm = nullptr;
    soxr_t resampler = nullptr;  // null when the device runs at the requested rate
    unsigned device_rate = 0;
    unsigned rate = 0;
    int read_limit = 0;  // frames per read: no more than the PCM buffer holds
    int period_frames = 0;
    CaptureNotify notify = nullptr;
    uintptr_t instance = 0;
    int wake_fd = -1;
    pthread_t thread{};

    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex. Headers are chained through their `next` field: the
    // queue in filling order, and those handed back but not yet notified.
    WaveHeader* queue_head = nullptr;
    WaveHeader* queue_tail = nullptr;
    WaveHeader* done_head = nullptr;
    WaveHeader* done_tail = nullptr;
    bool open_pending = true;
    bool running = false;
    bool gone = false;  // the device failed for good; nothing more is captured
    bool closing = false;
    Request request = Request::kNone;
    bool request_done = false;
    uint32_t request_result = kCaptureOk;

    // Service thread only: frames as read, and samples at the requested rate
    // not yet written into a buffer.
    int16_t staging[kStagingFrames];
    int16_t converted[kStagingFrames];
    int converted_count = 0;
    // Service thread only: failures since a frame was last read, and when the
    // first of them came.
    int failures = 0;
    std::chrono::steady_clock::time_point failing_since{};
};

namespace {

void Append(WaveHeader*& head, WaveHeader*& tail, WaveHeader* header) {
    header->next = nullptr;
    if (tail != nullptr) {
        tail->next = header;
    } else {
        head = header;
    }
    tail = header;
}

WaveHeader* Pop(WaveHeader*& head, WaveHeader*& tail) {
    WaveHeader* header = head;
    head = header->next;
    if (head == nullptr) tail = nullptr;
    header->next = nullptr;
    return header;
}

void Wake(CaptureDevice& d) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(d.wake_fd, &one, sizeof one);
}

void DrainWake(CaptureDevice& d) {
    uint64_t count;
    [[maybe_unused]] const ssize_t got = read(d.wake_fd, &count, sizeof count);
}

uint32_t OpenResult(int error) {
    switch (error) {
    case -ENOENT:
    case -ENODEV:
    case -ENXIO:
        return kCaptureBadDevice;
    case -EBUSY:
    case -EAGAIN:
        return kCaptureBusy;
    case -ENOMEM:
        return kCaptureNoMemory;
    default:
        return kCaptureError;
    }
}

bool FormatSupported(const WaveFormat* format) {
    return format != nullptr && format->format_tag == kWaveFormatPcm && format->channels == 1 &&
           format->bits_per_sample == 16 && format->block_align == 2 && format->samples_per_sec > 0;
}

unsigned ChooseRate(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, unsigned wanted) {
    if (snd_pcm_hw_params_test_rate(pcm, hw, wanted, 0) == 0) return wanted;
    for (unsigned rate : kFallbackRates) {
        if (snd_pcm_hw_params_test_rate(pcm, hw, rate, 0) == 0) return rate;
    }
    unsigned rate = wanted;
    int direction = 0;
    if (snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, &direction) < 0) return 0;
    return rate;
}

// Opens the PCM named by `wanted.text` and sets it up for the rate
// `wanted.number` (or a rate it supports) with periods as above. A kCapture
// result, or an open's negative error. Runs on a call's thread.
int OpenAndConfigure(snd_pcm_t*& pcm, const alsaworker::CallData& wanted) {
    const unsigned rate = wanted.number;
    // Non-blocking: a busy device fails the open at once, and reads never
    // block the thread that must also answer requests.
    const int error = snd_pcm_open(&pcm, wanted.text, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (error < 0) {
        pcm = nullptr;
        return error;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_any(pcm, hw) < 0) return static_cast<int>(kCaptureError);
    if (snd_pcm_hw_params_set_rate_resample(pcm, hw, 0) < 0 ||
        snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, 1) < 0) {
        return static_cast<int>(kCaptureBadFormat);
    }
    const unsigned device_rate = ChooseRate(pcm, hw, rate);
    if (device_rate == 0 || snd_pcm_hw_params_set_rate(pcm, hw, device_rate, 0) < 0) {
        return static_cast<int>(kCaptureBadFormat);
    }
    unsigned period = kPeriodMicroseconds;
    unsigned buffer = kBufferMicroseconds;
    unsigned longest = kLongestPeriodMicroseconds;
    int below = -1;
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer, nullptr);
    snd_pcm_hw_params_set_period_time_max(pcm, hw, &longest, &below);
    snd_pcm_hw_params_set_period_time_near(pcm, hw, &period, nullptr);
    if (snd_pcm_hw_params(pcm, hw) < 0) return static_cast<int>(kCaptureBadFormat);

    snd_pcm_uframes_t period_frames = 0;
    snd_pcm_uframes_t boundary = 0;
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_hw_params_get_period_size(hw, &period_frames, nullptr) < 0 || snd_pcm_sw_params_current(pcm, sw) < 0 ||
        snd_pcm_sw_params_get_boundary(sw, &boundary) < 0 || snd_pcm_sw_params_set_avail_min(pcm, sw, period_frames) < 0 ||
        // Started explicitly by CaptureStart, never by a read.
        snd_pcm_sw_params_set_start_threshold(pcm, sw, boundary) < 0 || snd_pcm_sw_params(pcm, sw) < 0) {
        return static_cast<int>(kCaptureError);
    }
    return static_cast<int>(kCaptureOk);
}

// Takes the rate and sizes the open settled on, and makes the converter when
// the device runs at another rate than asked for.
uint32_t TakeSettings(CaptureDevice& d) {
    const alsaworker::AlsaQuietScope quiet;
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period_frames = 0;
    snd_pcm_uframes_t buffer_frames = 0;
    if (snd_pcm_hw_params_current(d.pcm, hw) < 0 || snd_pcm_hw_params_get_rate(hw, &d.device_rate, nullptr) < 0 ||
        snd_pcm_hw_params_get_period_size(hw, &period_frames, nullptr) < 0 ||
        snd_pcm_hw_params_get_buffer_size(hw, &buffer_frames) < 0 || d.device_rate == 0) {
        return kCaptureError;
    }
    d.read_limit = static_cast<int>(std::min<snd_pcm_uframes_t>(buffer_frames, kStagingFrames));
    d.period_frames = static_cast<int>(std::min<snd_pcm_uframes_t>(period_frames, d.read_limit));

    if (d.device_rate != d.rate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        d.resampler = soxr_create(d.device_rate, d.rate, 1, &error, &io, &quality, &runtime);
        if (error != nullptr) return kCaptureNoMemory;
    }
    return kCaptureOk;
}

void Release(CaptureDevice* d) {
    alsaworker::BoundedClose(d->pcm, kCallBound);
    if (d->resampler != nullptr) soxr_delete(d->resampler);
    if (d->wake_fd >= 0) close(d->wake_fd);
    delete d;
}

int PrepareAndStart(snd_pcm_t*& pcm, const alsaworker::CallData&) {
    const int error = snd_pcm_prepare(pcm);
    return error < 0 ? error : snd_pcm_start(pcm);
}

// Brings the PCM back after an error: an overrun, a suspend, or a device that
// failed. False once it has kept failing for kGiveUpMs, which ends capture on
// this device. A request cuts a nap short; the retry then waits for the next
// failure.
bool Recover(CaptureDevice& d, int error) {
    if (d.pcm == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (d.failures++ == 0) d.failing_since = now;
    if (now - d.failing_since >= std::chrono::milliseconds(kGiveUpMs)) return false;
    if (d.failures > 1) {
        const int nap = std::min(kLongestRetryNapMs, kFirstRetryNapMs << std::min(d.failures - 2, 6));
        pollfd wake{d.wake_fd, POLLIN, 0};
        if (poll(&wake, 1, nap) > 0) {
            DrainWake(d);
            return true;
        }
    }
    if (error == -ESTRPIPE) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            error = alsaworker::BoundedCall(
                d.pcm, [](snd_pcm_t*& pcm, const alsaworker::CallData&) { return snd_pcm_resume(pcm); }, kCallBound);
            if (error != -EAGAIN) break;
            pollfd wake{d.wake_fd, POLLIN, 0};
            if (poll(&wake, 1, 100) > 0) break;
        }
        if (error == 0) return true;
        if (d.pcm == nullptr) return false;
    }
    // A device that cannot be prepared or started yet is tried again at the
    // next failure.
    alsaworker::BoundedCall(d.pcm, PrepareAndStart, kCallBound);
    return d.pcm != nullptr;
}

// Milliseconds until `missing` more frames are due, and at least one period.
int DueMs(const CaptureDevice& d, long missing) {
    const long frames = std::max<long>(missing, d.period_frames);
    const long due_ms = (frames * 1000 + d.device_rate - 1) / d.device_rate;
    return static_cast<int>(std::clamp<long>(due_ms, kNapMs, kPollTimeoutMs));
}

// Naps until `missing` more frames are due, still woken by requests.
void NapForFrames(CaptureDevice& d, long missing) {
    pollfd wake{d.wake_fd, POLLIN, 0};
    if (poll(&wake, 1, DueMs(d, missing)) > 0) DrainWake(d);
}

// Waits until the PCM has `enough` frames (`available` now) or a request
// wakes the thread. False when the device has failed.
//
// The descriptor wakes the thread when a period is there, with no timer, so
// reads take all there is and the next wakeup comes with the next packet. A
// plugin's descriptor need not keep to that: PulseAudio's stays readable
// while a packet from the server is partly read, and stays quiet while its
// packets are smaller than a period. Polling a descriptor that is ready too
// early would spin, so the thread naps until the missing frames are due;
// one that stays quiet is given until a little after they are due.
bool WaitForFrames(CaptureDevice& d, long enough, long available) {
    pollfd fds[kMaxPollFds + 1];
    const int count = snd_pcm_poll_descriptors(d.pcm, fds, kMaxPollFds);
    if (count < 0) return Recover(d, count);
    fds[count] = pollfd{d.wake_fd, POLLIN, 0};
    const int ready = poll(fds, static_cast<nfds_t>(count + 1), DueMs(d, enough - available) + kLateMs);
    if (ready < 0) return errno == EINTR || Recover(d, -errno);
    if (fds[count].revents & POLLIN) {
        DrainWake(d);
        return true;
    }
    unsigned short revents = 0;
    const int result = snd_pcm_poll_descriptors_revents(d.pcm, fds, static_cast<unsigned>(count), &revents);
    if (result < 0) return Recover(d, result);
    if (!(revents & (POLLERR | POLLNVAL | POLLHUP))) {
        const snd_pcm_sframes_t now = ready > 0 ? snd_pcm_avail_update(d.pcm) : enough;
        if (now >= 0 && now < enough) NapForFrames(d, enough - now);
        return true;
    }
    switch (snd_pcm_state(d.pcm)) {
    case SND_PCM_STATE_XRUN:
        return Recover(d, -EPIPE);
    case SND_PCM_STATE_SUSPENDED:
        return Recover(d, -ESTRPIPE);
    case SND_PCM_STATE_RUNNING:
        return true;
    default:
        return Recover(d, -EBADFD);
    }
}

// Frames at the device's rate that give `samples` at the requested rate.
long DeviceFrames(const CaptureDevice& d, int samples) {
    return static_cast<long>((static_cast<uint64_t>(samples) * d.device_rate + d.rate - 1) / d.rate);
}

// Reads up to `wanted` samples' worth at the requested rate into `converted`.
// Runs without the lock: only this thread touches the PCM and the samples.
bool ReadFrames(CaptureDevice& d, int wanted) {
    const int room = kStagingFrames - d.converted_count;
    wanted = std::min({wanted, room, d.read_limit});
    if (wanted <= 0) return true;
    // A non-blocking read asking for more than is there fails with EAGAIN
    // even when poll said ready; ask for what is there.
    const snd_pcm_sframes_t available = snd_pcm_avail_update(d.pcm);
    if (available < 0) return Recover(d, static_cast<int>(available));
    // What is wanted, or a period, so that a device that trickles frames is
    // not read a few at a time.
    const long enough = std::min<long>(DeviceFrames(d, wanted), d.period_frames);
    if (available < enough) return WaitForFrames(d, enough, available);
    int16_t* out = d.converted + d.converted_count;
    if (d.resampler == nullptr) {
        // All there is: the frames beyond this block wait here for the next.
        const snd_pcm_sframes_t take = std::min<snd_pcm_sframes_t>(std::min(room, d.read_limit), available);
        const snd_pcm_sframes_t got = snd_pcm_readi(d.pcm, out, static_cast<snd_pcm_uframes_t>(take));
        if (got == -EAGAIN) return WaitForFrames(d, enough, 0);
        if (got < 0) return Recover(d, static_cast<int>(got));
        if (got > 0) d.failures = 0;
        d.converted_count += static_cast<int>(got);
        return true;
    }
    // Enough input for what is wanted; the filter delay is made up over the
    // following reads.
    const long input = std::min<long>({DeviceFrames(d, wanted), d.read_limit, available});
    const snd_pcm_sframes_t got = snd_pcm_readi(d.pcm, d.staging, static_cast<snd_pcm_uframes_t>(input));
    if (got == -EAGAIN) return WaitForFrames(d, enough, 0);
    if (got < 0) return Recover(d, static_cast<int>(got));
    if (got > 0) d.failures = 0;
    size_t used = 0;
    size_t produced = 0;
    soxr_process(d.resampler, d.staging, static_cast<size_t>(got), &used, out, static_cast<size_t>(room), &produced);
    d.converted_count += static_cast<int>(produced);
    return true;
}

// Moves converted samples into the head of the queue; a full buffer is handed
// back. Called with the lock held.
void FillHead(CaptureDevice& d) {
    WaveHeader* header = d.queue_head;
    int taken = 0;
    while (taken < d.converted_count && header->bytes_recorded + 2 <= header->buffer_length) {
        const auto sample = static_cast<uint16_t>(d.converted[taken++]);
        header->data[header->bytes_recorded] = static_cast<uint8_t>(sample & 0xFF);
        header->data[header->bytes_recorded + 1] = static_cast<uint8_t>(sample >> 8);
        header->bytes_recorded += 2;
    }
    for (int i = taken; i < d.converted_count; ++i) d.converted[i - taken] = d.converted[i];
    d.converted_count -= taken;
    if (header->bytes_recorded + 2 > header->buffer_length) {
        Pop(d.queue_head, d.queue_tail);
        header->flags = (header->flags & ~kHeaderInQueue) | kHeaderDone;
        Append(d.done_head, d.done_tail, header);
    }
}

uint32_t StartPcm(CaptureDevice& d) {
    if (d.gone) return kCaptureError;
    if (d.running) return kCaptureOk;
    if (alsaworker::BoundedCall(d.pcm, PrepareAndStart, kStartBound) < 0) {
        d.gone = d.pcm == nullptr;
        return kCaptureError;
    }
    d.running = true;
    d.failures = 0;
    return kCaptureOk;
}

void HandBackHead(CaptureDevice& d) {
    WaveHeader* header = Pop(d.queue_head, d.queue_tail);
    header->flags = (header->flags & ~kHeaderInQueue) | kHeaderDone;
    Append(d.done_head, d.done_tail, header);
}

// Ends capturing: the head buffer goes back if frames were written into it,
// and with `reset` every other queued buffer too, empty or not.
void StopPcm(CaptureDevice& d, bool reset) {
    if (d.running && d.pcm != nullptr) {
        alsaworker::BoundedCall(
            d.pcm, [](snd_pcm_t*& pcm, const alsaworker::CallData&) { return snd_pcm_drop(pcm); }, kCallBound);
        if (d.pcm == nullptr) d.gone = true;
    }
    d.running = false;
    d.converted_count = 0;
    if (d.resampler != nullptr) soxr_clear(d.resampler);
    if (d.queue_head != nullptr && d.queue_head->bytes_recorded > 0) HandBackHead(d);
    while (reset && d.queue_head != nullptr) HandBackHead(d);
}

void FinishRequest(CaptureDevice& d, uint32_t result) {
    d.request_result = result;
    d.request_done = true;
    d.changed.notify_all();
}

void Deliver(CaptureDevice& d, std::unique_lock<std::mutex>& lock, uint32_t message, uintptr_t param1) {
    lock.unlock();
    d.notify(&d, message, d.instance, param1, 0);
    lock.lock();
}

void* ServiceThread(void* argument) {
    CaptureDevice& d = *static_cast<CaptureDevice*>(argument);
    alsaworker::QuietThisThread();
    std::unique_lock lock(d.mutex);
    for (;;) {
        if (d.open_pending) {
            d.open_pending = false;
            Deliver(d, lock, MM_WIM_OPEN, 0);
            continue;
        }
        if (d.done_head != nullptr) {
            WaveHeader* header = Pop(d.done_head, d.done_tail);
            Deliver(d, lock, MM_WIM_DATA, reinterpret_cast<uintptr_t>(header));
            continue;
        }
        if (d.request != Request::kNone && !d.request_done) {
            switch (d.request) {
            case Request::kStart:
                FinishRequest(d, StartPcm(d));
                break;
            case Request::kStop:
            case Request::kReset:
                StopPcm(d, d.request == Request::kReset);
                FinishRequest(d, kCaptureOk);
                break;
            case Request::kClose:
                Deliver(d, lock, MM_WIM_CLOSE, 0);
                return nullptr;
            case Request::kNone:
                break;
            }
            continue;
        }
        if (d.running && !d.gone && d.queue_head != nullptr) {
            FillHead(d);
            if (d.queue_head == nullptr) continue;
            const int wanted = static_cast<int>((d.queue_head->buffer_length - d.queue_head->bytes_recorded) / 2);
            lock.unlock();
            const bool alive = ReadFrames(d, wanted - d.converted_count);
            lock.lock();
            if (!alive) {
                d.gone = true;
                StopPcm(d, false);
            }
            continue;
        }
        d.changed.wait(lock);
    }
}

// Hands the service thread a request and waits for its result.
uint32_t Submit(CaptureDevice& d, Request request) {
    std::unique_lock lock(d.mutex);
    d.changed.wait(lock, [&] { return d.request == Request::kNone; });
    d.request = request;
    d.request_done = false;
    d.changed.notify_all();
    Wake(d);
    d.changed.wait(lock, [&] { return d.request_done; });
    d.request = Request::kNone;
    d.changed.notify_all();
    return d.request_result;
}

bool HeaderUsable(CaptureHandle handle, const WaveHeader* header, uint32_t header_size) {
    return handle != nullptr && header != nullptr && header_size == sizeof(WaveHeader);
}

}

uint32_t CaptureOpen(CaptureHandle* handle, uint32_t device_id, const WaveFormat* format, CaptureNotify notify,
                     uintptr_t instance, uint32_t flags) {
    if (handle == nullptr || notify == nullptr || flags != kCallbackFunction) return kCaptureError;
    if (device_id != 0) return kCaptureBadDevice;
    if (!FormatSupported(format)) return kCaptureBadFormat;

    auto* d = new (std::nothrow) CaptureDevice;
    if (d == nullptr) return kCaptureNoMemory;
    d->rate = format->samples_per_sec;
    d->notify = notify;
    d->instance = instance;

    const char* name = std::getenv("TONEWATCH_CAPTURE_DEVICE");
    alsaworker::CallData wanted;
    wanted.text = name != nullptr && *name != '\0' ? name : "default";
    wanted.number = d->rate;
    const int opened = alsaworker::BoundedCall(d->pcm, OpenAndConfigure, wanted, kOpenBound);
    // A server that does not answer in time is as good as none.
    if (opened == -ETIMEDOUT) {
        Release(d);
        return kCaptureNoDriver;
    }
    if (opened < 0 || d->pcm == nullptr) {
        Release(d);
        return OpenResult(opened);
    }
    uint32_t result = static_cast<uint32_t>(opened);
    if (result == kCaptureOk) result = TakeSettings(*d);
    if (result == kCaptureOk) {
        d->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (d->wake_fd < 0) result = kCaptureError;
    }
    if (result == kCaptureOk) {
        // Signals stay with the host's threads.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        if (pthread_create(&d->thread, nullptr, ServiceThread, d) != 0) result = kCaptureNoMemory;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (result != kCaptureOk) {
        Release(d);
        return result;
    }
    *handle = d;
    return kCaptureOk;
}

uint32_t CapturePrepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size) {
    if (!HeaderUsable(handle, header, header_size) || header->data == nullptr) return kCaptureError;
    std::lock_guard lock(handle->mutex);
    if (header->flags & kHeaderInQueue) return kCaptureStillQueued;
    header->flags |= kHeaderPrepared;
    return kCaptureOk;
}

uint32_t CaptureAddBuffer(CaptureHandle handle, WaveHeader* header, uint32_t header_size) {
    if (!HeaderUsable(handle, header, header_size)) return kCaptureError;
    std::lock_guard lock(handle->mutex);
    if (handle->closing) return kCaptureBadHandle;
    if (!(header->flags & kHeaderPrepared)) return kCaptureUnprepared;
    if (header->flags & kHeaderInQueue) return kCaptureStillQueued;
    header->bytes_recorded = 0;
    header->flags = (header->flags & ~kHeaderDone) | kHeaderInQueue;
    Append(handle->queue_head, handle->queue_tail, header);
    handle->changed.notify_all();
    return kCaptureOk;
}

uint32_t CaptureStart(CaptureHandle handle) {
    if (handle == nullptr) return kCaptureBadHandle;
    return Submit(*handle, Request::kStart);
}

uint32_t CaptureStop(CaptureHandle handle) {
    if (handle == nullptr) return kCaptureBadHandle;
    return Submit(*handle, Request::kStop);
}

uint32_t CaptureReset(CaptureHandle handle) {
    if (handle == nullptr) return kCaptureBadHandle;
    return Submit(*handle, Request::kReset);
}

uint32_t CaptureUnprepareHeader(CaptureHandle handle, WaveHeader* header, uint32_t header_size) {
    if (!HeaderUsable(handle, header, header_size)) return kCaptureError;
    std::lock_guard lock(handle->mutex);
    if (header->flags & kHeaderInQueue) return kCaptureStillQueued;
    header->flags &= ~kHeaderPrepared;
    return kCaptureOk;
}

uint32_t CaptureClose(CaptureHandle handle) {
    if (handle == nullptr) return kCaptureBadHandle;
    {
        std::unique_lock lock(handle->mutex);
        handle->changed.wait(lock, [&] { return handle->request == Request::kNone; });
        if (handle->queue_head != nullptr) return kCaptureStillQueued;
        handle->closing = true;
        handle->request = Request::kClose;
        handle->request_done = false;
        handle->changed.notify_all();
    }
    Wake(*handle);
    pthread_join(handle->thread, nullptr);
    Release(handle);
    return kCaptureOk;
}

}
