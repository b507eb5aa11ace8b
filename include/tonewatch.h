/* Tonewatch: listens to the default audio input and reports DTMF key presses.
 *
 * Start listening, poll for presses from one host thread, stop. Audio is
 * analysed in blocks of 62.5 ms; a press is reported once, in the first block
 * that holds its tone pair, and the next press needs a block without a key in
 * between. Presses registered between two polls overwrite each other. */
#ifndef TONEWATCH_H
#define TONEWATCH_H

#include <stdint.h>

#ifndef __cplusplus
#include <uchar.h> /* char16_t; a keyword in C++ */
#endif

#define TONEWATCH_VERSION_MAJOR 0
#define TONEWATCH_VERSION_MINOR 1
#define TONEWATCH_VERSION_PATCH 0

#if defined(TONEWATCH_BUILDING)
#define TONEWATCH_EXPORT __attribute__((visibility("default")))
#else
#define TONEWATCH_EXPORT
#endif

/* Result codes of PhoneDTMFCheckStart. */
#define TONEWATCH_RUNNING 999       /* capture running */
#define TONEWATCH_OPEN_FAILED 1     /* the capture device could not be opened (or is already open) */
#define TONEWATCH_QUEUE_FAILED 2    /* the capture buffer could not be queued */
#define TONEWATCH_START_FAILED 3    /* capture could not be started */

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the default capture device and starts listening. Returns one of the
 * codes above; after 2 or 3 the device stays open until PhoneDTMFCheckStop. */
TONEWATCH_EXPORT int32_t PhoneDTMFCheckStart(void);

/* Stops listening and closes the device. Returns the number of blocks handled
 * since the last start. Safe to call when not listening. */
TONEWATCH_EXPORT int32_t PhoneDTMFCheckStop(void);

/* Returns the last press not yet fetched as a one-character string, or an
 * empty string. The string belongs to the library and stays valid, unchanged,
 * until the next call of this function. Works whether or not capture runs. */
TONEWATCH_EXPORT const char16_t* PhoneDTMFReturnChar(void);

#ifdef __cplusplus
}
#endif

#endif
