/* A host program in C99 over both installed libraries: listens, dials a key
 * into the default output, polls for it, stops. Exit 0 when listening
 * started, the dial was accepted and the key was heard. */
#define _POSIX_C_SOURCE 200809L /* nanosleep under strict C99 */

#include <stdio.h>
#include <time.h>

#include <tonedial.h>
#include <tonewatch.h>

static void SleepMs(long ms) {
    struct timespec pause;
    pause.tv_sec = ms / 1000;
    pause.tv_nsec = ms % 1000 * 1000000L;
    nanosleep(&pause, NULL);
}

int main(void) {
    static const char16_t digits[] = {'7', 0};
    int32_t started = PhoneDTMFCheckStart();
    int32_t dialled;
    char16_t heard = 0;
    int i;
    if (started != TONEWATCH_RUNNING) {
        fprintf(stderr, "consumer.c: start returned %d\n", (int)started);
        PhoneDTMFCheckStop();
        return 1;
    }
    dialled = PhoneDTMF(digits);
    for (i = 0; i < 150 && heard == 0; ++i) {
        heard = PhoneDTMFReturnChar()[0];
        SleepMs(20);
    }
    printf("consumer.c: dial %d, heard '%c', %d blocks\n", (int)dialled, heard ? (char)heard : '-',
           (int)PhoneDTMFCheckStop());
    return dialled == TONEDIAL_SENT && heard == '7' ? 0 : 1;
}
