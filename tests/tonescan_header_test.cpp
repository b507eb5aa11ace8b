// The public header as a C++ host sees it, built with -pedantic-errors:
// the INIT macros in C++ initialisers, the callbacks as captureless lambdas,
// a scan that fails cleanly.
#include "tonescan.h"

#include <cstdio>
#include <cstring>

int main() {
    const tonescan_spec spec = TONESCAN_SPEC_INIT(48000, 1);
    const tonescan_scan_spec scan_spec = TONESCAN_SCAN_SPEC_INIT;
    tonescan_callbacks callbacks{};
    callbacks.size = sizeof callbacks;
    callbacks.press = [](void*, const tonescan_press*) {};
    int error = TONESCAN_OK;
    tonescan_detector* detector = tonescan_detector_create(&spec, &error);
    tonescan_scanner* scanner = tonescan_scanner_create(&scan_spec, &callbacks, &error);
    bool good = detector != nullptr && scanner != nullptr && error == TONESCAN_OK;
    const float silence[480] = {};
    good = good && tonescan_detector_feed_f32(detector, silence, 480, nullptr) == TONESCAN_OK;
    // A path that does not exist is a code and a message, not an exception.
    good = good && tonescan_scanner_scan_path(scanner, "/nonexistent/tonescan.wav") == TONESCAN_EOPEN &&
           std::strlen(tonescan_scanner_message(scanner)) > 0;
    tonescan_scanner_destroy(scanner);
    tonescan_detector_destroy(detector);
    if (!good) std::fputs("tonescan.h in C++: wrong results\n", stderr);
    return good ? 0 : 1;
}
