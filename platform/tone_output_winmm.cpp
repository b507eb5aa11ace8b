// The tone phone's output on winmm: waveOut* on the system's preferred
// playback device (the wave mapper). Two buffers take turns, so that one
// plays while the next is filled; winmm signals an event whenever it hands
// one back, and no code of ours runs on winmm's threads.
#include <algorithm>
#include <new>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

#include "tone_output.h"

namespace tonedial {

namespace {

constexpr std::size_t kBufferFrames = kToneRate * 3 / 10;
constexpr int kBuffers = 2;
// A buffer plays for 300 ms: one not handed back this long after it could
// have been means the device is stuck, and the dial is given up.
constexpr DWORD kStuckMs = 3000;

}

struct ToneOutput {
    HWAVEOUT wave = nullptr;
    HANDLE handed_back = nullptr;
    WAVEHDR headers[kBuffers]{};
    int16_t frames[kBuffers][kBufferFrames]{};
    int next = 0;  // the buffer to fill next
};

namespace {

bool Playing(const WAVEHDR& header) { return (header.dwFlags & WHDR_INQUEUE) != 0; }

// Waits until `header` is back from the device. False when it is stuck.
bool WaitUntilBack(ToneOutput& output, const WAVEHDR& header) {
    for (DWORD start = GetTickCount(); Playing(header);) {
        if (GetTickCount() - start > kStuckMs) return false;
        WaitForSingleObject(output.handed_back, 100);
    }
    return true;
}

void Release(ToneOutput* output) {
    if (output->handed_back != nullptr) CloseHandle(output->handed_back);
    delete output;
}

}

ToneOutput* ToneOutputOpen() {
    auto* output = new (std::nothrow) ToneOutput;
    if (output == nullptr) return nullptr;
    output->handed_back = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kToneRate, kToneRate * 2, 2, 16, 0};
    if (output->handed_back == nullptr ||
        waveOutOpen(&output->wave, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(output->handed_back), 0,
                    CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        Release(output);
        return nullptr;
    }
    for (int i = 0; i < kBuffers; ++i) {
        WAVEHDR& header = output->headers[i];
        header.lpData = reinterpret_cast<LPSTR>(output->frames[i]);
        header.dwBufferLength = sizeof output->frames[i];
        if (waveOutPrepareHeader(output->wave, &header, sizeof header) != MMSYSERR_NOERROR) {
            ToneOutputClose(output);
            return nullptr;
        }
    }
    return output;
}

bool ToneOutputPlay(ToneOutput* output, const int16_t* frames, std::size_t count) {
    while (count > 0) {
        WAVEHDR& header = output->headers[output->next];
        if (!WaitUntilBack(*output, header)) return false;
        const std::size_t taken = std::min(count, kBufferFrames);
        std::copy_n(frames, taken, output->frames[output->next]);
        header.dwBufferLength = static_cast<DWORD>(taken * sizeof(int16_t));
        if (waveOutWrite(output->wave, &header, sizeof header) != MMSYSERR_NOERROR) return false;
        output->next = (output->next + 1) % kBuffers;
        frames += taken;
        count -= taken;
    }
    return true;
}

void ToneOutputClose(ToneOutput* output) {
    bool played = true;
    for (const WAVEHDR& header : output->headers) played = played && WaitUntilBack(*output, header);
    // A stuck device gives its buffers back at a reset.
    if (!played) waveOutReset(output->wave);
    for (WAVEHDR& header : output->headers) {
        if (header.dwFlags & WHDR_PREPARED) waveOutUnprepareHeader(output->wave, &header, sizeof header);
    }
    waveOutClose(output->wave);
    Release(output);
}

}
