// The detector's outside: capture state, the block handler that the capture
// service notifies, and the three exports.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "capture_service.h"
#include "key_press.h"
#include "tone_analysis.h"
#include "tonewatch.h"

namespace tonewatch {

namespace {

// The handler's block and the stop run on different threads; a handler that
// read the Stopping flag just before a stop may queue the buffer once more,
// which makes the close refuse. One more reset hands it back; the bound only
// guards against a service that never lets go.
constexpr int kStopAttempts = 3;

struct CaptureState {
    int32_t CaptureRate = 4000;
    CaptureHandle Device = nullptr;
    WaveHeader Header{};
    uint8_t Buffer[kBlockBytes]{};
    std::atomic<int32_t> BlockCount{0};
    uint32_t KeyHeld = 0;  // handler thread only
    // The pending press is a single UTF-16 unit (0: none) so that the
    // hand-over to the fetch is one atomic exchange; the terminator is implied.
    std::atomic<char16_t> PendingKey{0};
    // Set by a stop before it stops the device: from then on the handler no
    // longer queues the buffer again.
    std::atomic<bool> Stopping{false};
};

CaptureState capture;

// Start and stop are meant to come from one host thread in turn; a host that
// calls them from several threads at once gets them one after the other, so
// that no device is opened twice or closed under another call. Never taken
// by the block handler, which a stop waits for.
std::mutex control;

// Every string a fetch can hand out. They never change, so a fetch on one
// thread cannot alter a string another thread is still reading.
constexpr char16_t kFetchStrings[][2] = {u"",  u"0", u"1", u"2", u"3", u"4", u"5", u"6", u"7",
                                         u"8", u"9", u"*", u"#", u"A", u"B", u"C", u"D"};

const char16_t* FetchString(char16_t key) {
    for (const auto& string : kFetchStrings) {
        if (string[0] == key) return string;
    }
    return kFetchStrings[0];
}

// The key alphabet is ASCII, so its code page conversion is the identity.
constexpr char16_t KeyUnit(char key) { return static_cast<char16_t>(static_cast<unsigned char>(key)); }

void CaptureBlockHandler(CaptureHandle device, uint32_t message, uintptr_t, uintptr_t param1, uintptr_t) {
    if (message != MM_WIM_DATA) return;
    auto* header = reinterpret_cast<WaveHeader*>(param1);
    const bool stopping = capture.Stopping.load();
    // The stop's reset hands back a buffer that nothing was recorded into:
    // that is no block.
    if (stopping && header->bytes_recorded == 0) return;
    // Copy, then queue the buffer again before the analysis, so that the
    // service refills it meanwhile. A partly filled buffer is analysed whole:
    // its tail still holds the previous block.
    uint8_t block[kBlockBytes];
    std::memcpy(block, header->data, sizeof block);
    header->bytes_recorded = 0;
    if (!stopping) CaptureAddBuffer(device, header, sizeof(WaveHeader));

    const char key = ToneAnalyseBlock(block);
    if (KeyPressAdvance(capture.KeyHeld, key)) capture.PendingKey.store(KeyUnit(key));
    capture.BlockCount.fetch_add(1);
}

int32_t OpenCapture() {
    const WaveFormat format{kWaveFormatPcm, 1, static_cast<uint32_t>(capture.CaptureRate),
                            static_cast<uint32_t>(2 * capture.CaptureRate), 2, 16, 0};
    capture.Stopping.store(false);
    CaptureHandle device = nullptr;
    if (CaptureOpen(&device, 0, &format, CaptureBlockHandler, 0, kCallbackFunction) != kCaptureOk) {
        return TONEWATCH_OPEN_FAILED;
    }
    capture.Device = device;
    capture.Header = WaveHeader{capture.Buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    CapturePrepareHeader(device, &capture.Header, sizeof(WaveHeader));
    if (CaptureAddBuffer(device, &capture.Header, sizeof(WaveHeader)) != kCaptureOk) return TONEWATCH_QUEUE_FAILED;
    if (CaptureStart(device) != kCaptureOk) return TONEWATCH_START_FAILED;
    return TONEWATCH_RUNNING;
}

// Stop, unprepare and close, with a reset between stop and unprepare: a stop
// leaves an empty buffer queued, and the service refuses to close while one
// is, so without it the device would stay open.
void CloseCapture() {
    const CaptureHandle device = capture.Device;
    if (device == nullptr) return;
    capture.Stopping.store(true);
    for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
        CaptureStop(device);
        CaptureReset(device);
        CaptureUnprepareHeader(device, &capture.Header, sizeof(WaveHeader));
        if (CaptureClose(device) == kCaptureOk) {
            capture.Device = nullptr;
            return;
        }
    }
}

#if !defined(_WIN32)
// Unloading the library while capturing would leave the service calling
// into unmapped code. A destructor function runs before the library's static
// objects are destroyed, so the capture service is still whole here.
//
// Not on Windows: there an open capture device keeps the library loaded (the
// winmm service holds a reference to its module until the device is closed),
// because closing the device while the loader unloads the library would wait
// on threads that need the loader. At process exit every other thread is
// already gone and the system releases the device.
__attribute__((destructor)) void CloseAtUnload() {
    const std::lock_guard lock(control);
    CloseCapture();
}
#endif

}

}

using namespace tonewatch;

extern "C" int32_t PhoneDTMFCheckStart(void) {
    const std::lock_guard lock(control);
    capture.BlockCount.store(0);
    // A second start would open a second device and reuse a queued header:
    // it fails as an open does, and the running capture goes on.
    if (capture.Device != nullptr) return TONEWATCH_OPEN_FAILED;
    return OpenCapture();
}

extern "C" int32_t PhoneDTMFCheckStop(void) {
    const std::lock_guard lock(control);
    CloseCapture();
    return capture.BlockCount.load();
}

extern "C" const char16_t* PhoneDTMFReturnChar(void) {
    return FetchString(capture.PendingKey.exchange(0));
}
