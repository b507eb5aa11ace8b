// A host program in C++ over both installed libraries: listens, dials a key
// into the default output, polls for it, stops.
#include <chrono>
#include <cstdio>
#include <thread>

#include <tonedial.h>
#include <tonewatch.h>

int main() {
    if (const int32_t code = PhoneDTMFCheckStart(); code != TONEWATCH_RUNNING) {
        std::fprintf(stderr, "consumer.cpp: start returned %d\n", static_cast<int>(code));
        PhoneDTMFCheckStop();
        return 1;
    }
    const int32_t dialled = PhoneDTMF(u"#");
    char16_t heard = 0;
    for (int i = 0; i < 150 && heard == 0; ++i) {
        heard = PhoneDTMFReturnChar()[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int32_t blocks = PhoneDTMFCheckStop();
    std::printf("consumer.cpp: dial %d, heard '%c', %d blocks\n", static_cast<int>(dialled),
                heard ? static_cast<char>(heard) : '-', static_cast<int>(blocks));
    return dialled == TONEDIAL_SENT && heard == u'#' ? 0 : 1;
}
