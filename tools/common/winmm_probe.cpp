#include "winmm_probe.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

namespace dtmftools {

std::string DeviceProblem(Direction direction) {
    const bool capture = direction == Direction::kCapture;
    const DWORD rate = capture ? 4000 : 8000;
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, rate, rate * 2, 2, 16, 0};
    const MMRESULT result = capture ? waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY)
                                    : waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY);
    if (result == MMSYSERR_NOERROR) return {};
    char text[MAXERRORLENGTH] = "";
    if (waveOutGetErrorTextA(result, text, sizeof text) != MMSYSERR_NOERROR) {
        return "winmm error " + std::to_string(result);
    }
    return text;
}

}
