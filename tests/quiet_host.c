/* A C host of both libraries where no audio device can be opened (ALSA's
 * "default" names a PCM that does not exist): the libraries write nothing to
 * the host's standard error, and a host that set alsa-lib's error handler
 * keeps it, and gets alsa-lib's messages there. */
#define _POSIX_C_SOURCE 200809L
#include <alsa/asoundlib.h>
#include <stdio.h>
#include <uchar.h>
#include <unistd.h>

#include "tonedial.h"
#include "tonewatch.h"

static int host_messages;

static void HostHandler(const char* file, int line, const char* function, int err, const char* fmt, ...) {
    (void)file;
    (void)line;
    (void)function;
    (void)err;
    (void)fmt;
    ++host_messages;
}

static int failures;

static void Check(int kept, const char* what) {
    if (!kept) {
        fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

/* Both libraries, each failing to open its device; the bytes they wrote to
 * standard error meanwhile. */
static long StderrBytesOfUse(void) {
    static const char16_t digits[] = u"1#";
    fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    FILE* capture = tmpfile();
    if (saved < 0 || capture == NULL) return -1;
    dup2(fileno(capture), STDERR_FILENO);
    const int32_t started = PhoneDTMFCheckStart();
    PhoneDTMFCheckStop();
    const int32_t dialled = PhoneDTMF(digits);
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    Check(started == TONEWATCH_OPEN_FAILED, "the start did not fail as an open does");
    Check(dialled == TONEDIAL_SENT, "the dial did not return 999");
    fseek(capture, 0, SEEK_END);
    const long bytes = ftell(capture);
    fclose(capture);
    return bytes;
}

int main(void) {
    Check(StderrBytesOfUse() == 0, "the libraries wrote to stderr");
    snd_lib_error_set_handler(HostHandler);
    Check(StderrBytesOfUse() == 0, "the libraries wrote to stderr past the host's handler");
    Check(snd_lib_error == HostHandler, "the host's handler was replaced");
    Check(host_messages > 0, "the host's handler heard nothing from alsa-lib");
    return failures == 0 ? 0 : 1;
}
