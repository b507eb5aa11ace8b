/* The public header as a C99 host sees it, built with -pedantic-errors and
 * linked against libtonescan: its macros, types and calls, and the codes
 * that bad arguments give (never a crash). */
#include "tonescan.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "tonescan.h in C: %s\n", what);
        ++failures;
    }
}

int main(void) {
    tonescan_spec spec = TONESCAN_SPEC_INIT(8000, 2);
    const tonescan_scan_spec scan_spec = TONESCAN_SCAN_SPEC_INIT;
    const int16_t silence[2 * 160] = {0};
    tonescan_press press;
    tonescan_detector* detector;
    int error = 1;
    char version[32];

    sprintf(version, "%d.%d.%d", TONESCAN_VERSION_MAJOR, TONESCAN_VERSION_MINOR, TONESCAN_VERSION_PATCH);
    expect(strcmp(tonescan_version(), version) == 0, "tonescan_version() differs from the version macros");
    expect(spec.size == sizeof(tonescan_spec) && scan_spec.size == sizeof(tonescan_scan_spec),
           "the INIT macros do not set size");
    expect(strcmp(tonescan_strerror(TONESCAN_EFULL), tonescan_strerror(TONESCAN_OK)) != 0,
           "tonescan_strerror() gives one text for two codes");

    expect(tonescan_detector_create(NULL, &error) == NULL && error == TONESCAN_EARG, "a null spec is not EARG");
    spec.channel = 3;
    expect(tonescan_detector_create(&spec, &error) == NULL && error == TONESCAN_ECHANNEL,
           "channel 3 of 2 is not ECHANNEL");
    spec.channel = 2;
    spec.rate = 3999;
    expect(tonescan_detector_create(&spec, NULL) == NULL, "a rate of 3999 makes a detector");
    spec.rate = 8000;

    detector = tonescan_detector_create(&spec, &error);
    expect(detector != NULL && error == TONESCAN_OK, "no detector for 8000/s stereo");
    expect(tonescan_detector_feed_i16(detector, silence, 160, NULL) == TONESCAN_OK, "silence not taken");
    expect(tonescan_detector_finish(detector) == TONESCAN_OK, "the end not taken");
    expect(tonescan_detector_take(detector, &press, 1) == 0, "a press in silence");
    expect(tonescan_detector_feed_i16(detector, silence, 160, NULL) == TONESCAN_EENDED, "a feed after the end taken");
    expect(tonescan_detector_reset(detector) == TONESCAN_OK &&
               tonescan_detector_feed_i16(detector, silence, 160, NULL) == TONESCAN_OK,
           "no feed after a reset");
    expect(tonescan_detector_feed_i16(NULL, silence, 160, NULL) == TONESCAN_EARG, "a null detector is not EARG");
    tonescan_detector_destroy(detector);
    tonescan_detector_destroy(NULL);
    tonescan_scanner_destroy(NULL);
    return failures == 0 ? 0 : 1;
}
