// The detector's outside: capture state, the block handler that the capture
// service notifies, and the three exports.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "capture_service.h"
#include "key_press.h"
#include "tone_analysis.h"
#include "tonewatch.h"

namespace tonewatch {

namespace {

// The handler's block and the stop run on different threads; a handler that
// read the stopping flag just before a stop may queue the buffer once more,
// which makes the close refuse. One more stop hands it back; the bound only
// guards against a service that never lets go.
constexpr int kStopAttempts = 3;

struct CaptureState {
    int32_t CaptureRate = 4000;
    CaptureHandle device = nullptr;
    WaveHeader header{};
    uint8_t buffer[kBlockBytes]{};
    std::atomic<int32_t> BlockCount{0};
    uint32_t KeyHeld = 0;  // handler thread only
    // The pending press is a single UTF-16 unit (0: none) so that the
    // hand-over to the fetch is one atomic exchange; the terminator is implied.
    std::atomic<char16_t> PendingKey{0};
    char16_t ReturnedKey[2]{};
    // Set by a stop before it stops the device: from then on the handler no
    // longer queues the buffer again.
    std::atomic<bool> stopping{false};
};

CaptureState capture;

// The key alphabet is ASCII, so its code page conversion is the identity.
constexpr char16_t KeyUnit(char key) { return static_cast<char16_t>(static_cast<unsigned char>(key)); }

void CaptureBlockHandler(CaptureHandle device, uint32_t message, uintptr_t, uintptr_t, uintptr_t) {
    if (message != MM_WIM_DATA) return;
    // Copy, then queue the buffer again before the analysis, so that the
    // service refills it meanwhile. A partly filled buffer is analysed whole:
    // its tail still holds the previous block.
    uint8_t block[kBlockBytes];
    std::memcpy(block, capture.buffer, sizeof block);
    capture.header.bytes_recorded = 0;
    if (!capture.stopping.load()) CaptureAddBuffer(device, &capture.header, sizeof(WaveHeader));

    ToneBank bank;
    char key[2];
    ToneAnalyseBlock(block, bank, key);
    if (KeyPressAdvance(capture.KeyHeld, key[0])) capture.PendingKey.store(KeyUnit(key[0]));
    capture.BlockCount.fetch_add(1);
}

int32_t OpenCapture() {
    const WaveFormat format{kWaveFormatPcm, 1, static_cast<uint32_t>(capture.CaptureRate),
                            static_cast<uint32_t>(2 * capture.CaptureRate), 2, 16, 0};
    capture.stopping.store(false);
    CaptureHandle device = nullptr;
    if (CaptureOpen(&device, 0, &format, CaptureBlockHandler, 0, kCallbackFunction) != kCaptureOk) {
        return TONEWATCH_OPEN_FAILED;
    }
    capture.device = device;
    capture.header = WaveHeader{capture.buffer, kBlockBytes, 0, 0, 0, 0, nullptr, 0};
    CapturePrepareHeader(device, &capture.header, sizeof(WaveHeader));
    if (CaptureAddBuffer(device, &capture.header, sizeof(WaveHeader)) != kCaptureOk) return TONEWATCH_QUEUE_FAILED;
    if (CaptureStart(device) != kCaptureOk) return TONEWATCH_START_FAILED;
    return TONEWATCH_RUNNING;
}

void CloseCapture() {
    const CaptureHandle device = capture.device;
    if (device == nullptr) return;
    capture.stopping.store(true);
    for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
        CaptureStop(device);
        CaptureUnprepareHeader(device, &capture.header, sizeof(WaveHeader));
        if (CaptureClose(device) == kCaptureOk) {
            capture.device = nullptr;
            return;
        }
    }
}

// Unloading the library while capturing would leave the service calling
// into unmapped code. A destructor function runs before the library's static
// objects are destroyed, so the capture service is still whole here.
__attribute__((destructor)) void CloseAtUnload() { CloseCapture(); }

}

}

using namespace tonewatch;

extern "C" int32_t PhoneDTMFCheckStart(void) {
    capture.BlockCount.store(0);
    // A second start would open a second device and reuse a queued header:
    // it fails as an open does, and the running capture goes on.
    if (capture.device != nullptr) return TONEWATCH_OPEN_FAILED;
    return OpenCapture();
}

extern "C" int32_t PhoneDTMFCheckStop(void) {
    CloseCapture();
    return capture.BlockCount.load();
}

extern "C" const char16_t* PhoneDTMFReturnChar(void) {
    capture.ReturnedKey[0] = capture.PendingKey.exchange(0);
    capture.ReturnedKey[1] = 0;
    return capture.ReturnedKey;
}
