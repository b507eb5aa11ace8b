/* Tonedial: sends a string of DTMF digits through the phone library.
 *
 * PhoneDTMF hands each UTF-16 unit of the string to the phone library, in
 * order and without pauses, then makes one closing call. The units are not
 * checked: what the phone does with one it cannot dial is its own affair. */
#ifndef TONEDIAL_H
#define TONEDIAL_H

#include <stdint.h>

#ifndef __cplusplus
#include <uchar.h> /* char16_t; a keyword in C++ */
#endif

#define TONEDIAL_VERSION_MAJOR 0
#define TONEDIAL_VERSION_MINOR 1
#define TONEDIAL_VERSION_PATCH 0

#if defined(TONEDIAL_BUILDING)
#define TONEDIAL_EXPORT __attribute__((visibility("default")))
#else
#define TONEDIAL_EXPORT
#endif

/* Result codes of PhoneDTMF. */
#define TONEDIAL_SENT 999     /* handed to the phone library, whether or not it could send */
#define TONEDIAL_NO_DIGITS 1  /* digits was a null pointer; nothing was handed on */

#ifdef __cplusplus
extern "C" {
#endif

/* Sends the NUL-terminated string `digits`, which belongs to the caller and is
 * only read during the call. Returns TONEDIAL_SENT, or TONEDIAL_NO_DIGITS for a
 * null pointer. Keeps no state; calls from several threads reach the phone
 * library interleaved. */
TONEDIAL_EXPORT int32_t PhoneDTMF(const char16_t* digits);

#ifdef __cplusplus
}
#endif

#endif
