// A loadable module of the detector over the scripted service, for the test
// that unloads it while capture runs.
#include "scripted_capture.h"
#include "tone_signals.h"
#include "tonewatch.h"

extern "C" __attribute__((visibility("default"))) int32_t UnloadModuleStartBusyCapture(int blocks) {
    scripted::Reset();
    scripted::DelayNotifications(std::chrono::microseconds(100));
    for (int i = 0; i < blocks; ++i) {
        scripted::QueueBlock(tonetest::ToLittleEndian(tonetest::Synthesize(tonetest::KeyTones(i % 2 ? '1' : '2', 4000), 250)));
    }
    return PhoneDTMFCheckStart();
}
