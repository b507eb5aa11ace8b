/* The seam between libtonescan and its FFmpeg reader, a module of its own
 * (ffmpeg.so in the folder "tonescan" next to libtonescan.so) that the
 * library loads the first time libsndfile cannot read an input: FFmpeg's
 * libraries cost a process that never needs them tens of milliseconds to
 * load. The module knows nothing of the library's insides: it reads the
 * input's bytes through a callback, hands decoded frames to another, and
 * answers with a code and a message.
 *
 * The module exports one table, TONESCAN_FFMPEG_READER; a change to this
 * contract changes the table's name, so that a module of another version is
 * refused as missing rather than called wrongly. All calls come from the
 * thread that called read or probe; several threads may read at once, each
 * with its own source and sink. */
#ifndef TONESCAN_FFMPEG_MODULE_H
#define TONESCAN_FFMPEG_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TONESCAN_FFMPEG_READER "tonescan_ffmpeg_reader_1"

/* What read returns besides TONESCAN_OK and the TONESCAN_E* codes of
 * tonescan.h (whose message it writes). */
#define TONESCAN_FFMPEG_UNKNOWN 1 /* FFmpeg does not know the format: no message */
#define TONESCAN_FFMPEG_STOPPED 2 /* a sink callback asked to stop: no message */

/* The input: `length` bytes, read at any offset in any order. */
typedef struct tonescan_ffmpeg_source {
    void* user;
    int64_t length;
    /* Fills `out` with the `n` bytes at `offset`. Returns 0; an errno value
     * for a read error; -1 when the input ends before them (it shrank). */
    int (*read_at)(void* user, int64_t offset, unsigned char* out, size_t n);
} tonescan_ffmpeg_source;

/* Where the decoded audio goes. A callback that returns non-zero ends the
 * read with TONESCAN_FFMPEG_STOPPED. */
typedef struct tonescan_ffmpeg_sink {
    void* user;
    /* Once, before the first frames: their rate and channel count. */
    int (*start)(void* user, int rate, int channels);
    /* `count` frames, interleaved floats (full scale 1.0), and the fraction
     * of the input decoded so far, or a negative number when its length is
     * unknown. */
    int (*frames)(void* user, const float* interleaved, size_t count, double fraction);
    /* After the last frames of an input read to its end (whether or not it
     * then turns out shorter than its container says). */
    int (*finish)(void* user);
    /* Whether to give up soon: polled between packets. */
    int (*cancelled)(void* user);
} tonescan_ffmpeg_sink;

/* Which audio stream, counted among audio streams from 1 (0: the first),
 * and the input's file name ("" if none), whose extension names headerless
 * G.722 and G.729, which no probe recognises. */
typedef struct tonescan_ffmpeg_request {
    int stream;
    const char* name;
} tonescan_ffmpeg_request;

typedef struct tonescan_ffmpeg_reader {
    /* Decodes the input to the sink. Returns TONESCAN_OK, a TONESCAN_E* code
     * with its details in `message` (always terminated), or one of the
     * TONESCAN_FFMPEG_* above. */
    int (*read)(const tonescan_ffmpeg_source* source, const tonescan_ffmpeg_sink* sink,
                const tonescan_ffmpeg_request* request, char* message, size_t message_size);
    /* The short name of the format FFmpeg finds in the first `size` bytes of
     * an input (e.g. "mov,mp4,m4a,3gp,3g2,mj2"), or NULL for none or a weak
     * guess. */
    const char* (*probe)(const unsigned char* bytes, size_t size);
} tonescan_ffmpeg_reader;

#ifdef __cplusplus
}
#endif

#endif
