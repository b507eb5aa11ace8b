/*
 * libtonescan: finds DTMF key presses (0-9, *, #, A-D) in recorded or
 * streamed audio, with the start and end of each, at any sample rate from
 * 4000 to 192000 frames/s.
 *
 * Two ways in:
 *   - a detector takes interleaved frames pushed by the caller (int16 or
 *     float) and hands out the presses found so far;
 *   - a scanner reads a file, a path or an open descriptor (WAV, FLAC, Ogg,
 *     AIFF and whatever else libsndfile reads; AAC/M4A, AMR, G.722, G.729,
 *     Opus in WebM and the audio of video files through FFmpeg's libraries,
 *     headerless G.722 and G.729 known by a name ending in .g722 or .g729;
 *     or headerless PCM) and calls back for each press.
 *
 * Two detectors listen:
 *   TONESCAN_RECORDING  the recording detector: tones and pauses down to
 *                       40 ms, quiet, noisy, coded or slightly mistuned keys;
 *   TONESCAN_BLOCKS     libtonewatch's block analysis, exactly as a
 *                       libtonewatch host hears the same audio (blocks of
 *                       62.5 ms at 4000/s).
 *
 * Results are ints: TONESCAN_OK (0) or a negative TONESCAN_E* code, which
 * tonescan_strerror() puts into words. The library has no global state and
 * prints nothing. A handle is used by one thread at a time; different
 * handles may be used on different threads freely. No call blocks on
 * another handle's work.
 */
#ifndef TONESCAN_H
#define TONESCAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TONESCAN_BUILDING) && defined(__GNUC__)
#define TONESCAN_EXPORT __attribute__((visibility("default")))
#else
#define TONESCAN_EXPORT
#endif

#define TONESCAN_VERSION_MAJOR 0
#define TONESCAN_VERSION_MINOR 1
#define TONESCAN_VERSION_PATCH 0

/* Results. */
#define TONESCAN_OK 0
#define TONESCAN_EARG (-1)       /* a null pointer or a value out of range */
#define TONESCAN_ERATE (-2)      /* sample rate outside 4000-192000 */
#define TONESCAN_ECHANNEL (-3)   /* no such channel or audio stream, or no channels */
#define TONESCAN_EENDED (-4)     /* fed after tonescan_detector_finish */
#define TONESCAN_EFULL (-5)      /* the press queue is full: take presses, feed the rest */
#define TONESCAN_ENOMEM (-6)     /* out of memory */
#define TONESCAN_EOPEN (-7)      /* the input could not be opened */
#define TONESCAN_EFORMAT (-8)    /* not audio that the library reads */
#define TONESCAN_ETRUNCATED (-9) /* the file ends before its header says */
#define TONESCAN_EREAD (-10)     /* a read or decoding error */
#define TONESCAN_ECANCELLED (-11) /* tonescan_scanner_cancel was called */
#define TONESCAN_EINTERNAL (-12) /* the library failed (rate conversion) */

/* Detectors. */
#define TONESCAN_RECORDING 0
#define TONESCAN_BLOCKS 1

/* One key press. Times are frames of the input (at its own rate) from its
 * first frame; the same in microseconds, exact at the detector's own
 * resolution (125 us for the recording detector, 62.5 ms for the blocks). */
typedef struct tonescan_press {
    int64_t start;     /* first frame of the tone */
    int64_t end;       /* one past its last frame */
    int64_t start_us;
    int64_t end_us;
    /* Each tone's peak level in dBFS (a full-scale sine is 0), measured by
     * the recording detector; NaN from the blocks detector, which decides on
     * whole blocks and measures no level. */
    float low_dbfs;
    float high_dbfs;
    char key;          /* '0'-'9', '*', '#', 'A'-'D' */
} tonescan_press;

/* ------------------------------------------------------------------------
 * Push detection.
 */

/* What a detector listens to. Fill it with TONESCAN_SPEC_INIT(rate,
 * channels) and change what you need; `size` lets later versions add
 * fields. */
typedef struct tonescan_spec {
    size_t size;        /* sizeof(tonescan_spec) */
    int32_t rate;       /* frames per second, 4000-192000 */
    int32_t channels;   /* samples per frame, 1-1024 */
    int32_t channel;    /* 0: the average of all channels; 1-channels: that one alone */
    int32_t detector;   /* TONESCAN_RECORDING (default) or TONESCAN_BLOCKS */
    int32_t queue;      /* presses held until taken, 16-65536; 0: 64 */
} tonescan_spec;

#define TONESCAN_SPEC_INIT(rate, channels) \
    { sizeof(tonescan_spec), (rate), (channels), 0, TONESCAN_RECORDING, 0 }

typedef struct tonescan_detector tonescan_detector;

/* A detector for one stream, or NULL with *error (if error is not NULL) set
 * to why: TONESCAN_EARG, TONESCAN_ERATE, TONESCAN_ECHANNEL or
 * TONESCAN_ENOMEM. Feeding, taking and finishing take no lock; feeding
 * allocates only while its first pieces size its working buffers (the first
 * 20 ms or so), never after. */
TONESCAN_EXPORT tonescan_detector* tonescan_detector_create(const tonescan_spec* settings, int* error);

/* Feeds `count` interleaved frames (count * channels samples), any count
 * per call. int16 full scale is 32768; float full scale is 1.0, beyond it
 * clips, NaN is silence. Returns TONESCAN_OK when every frame was taken.
 * When the press queue has no room left, feeding stops early and returns
 * TONESCAN_EFULL: *consumed (if not NULL) says how many frames were taken;
 * take presses and feed the rest. Nothing is dropped. TONESCAN_EENDED
 * after tonescan_detector_finish (until a reset); TONESCAN_EARG for the
 * other sample type than the stream's first feed used. */
TONESCAN_EXPORT int tonescan_detector_feed_i16(tonescan_detector* detector, const int16_t* frames, size_t count,
                                               size_t* consumed);
TONESCAN_EXPORT int tonescan_detector_feed_f32(tonescan_detector* detector, const float* frames, size_t count,
                                               size_t* consumed);

/* Ends the stream: the presses still going are ended at the last frame fed
 * and queued. TONESCAN_EFULL when the queue cannot hold them yet: take
 * presses and call it again. */
TONESCAN_EXPORT int tonescan_detector_finish(tonescan_detector* detector);

/* Moves up to `max` presses found so far into `presses`, oldest first, and
 * returns how many. A press is found once it has ended: the recording
 * detector knows a press about 15 ms after its tone ends, the blocks with
 * the first block without its key; both take a little longer behind rate
 * conversion. Whatever a feed call has found can be taken when it returns. */
TONESCAN_EXPORT size_t tonescan_detector_take(tonescan_detector* detector, tonescan_press* presses, size_t max);

/* Starts a new stream with the same settings; presses not taken are dropped. */
TONESCAN_EXPORT int tonescan_detector_reset(tonescan_detector* detector);

/* Frees the detector; NULL is ignored. */
TONESCAN_EXPORT void tonescan_detector_destroy(tonescan_detector* detector);

/* ------------------------------------------------------------------------
 * Files.
 */

/* How a scanner reads. Fill it with TONESCAN_SCAN_SPEC_INIT. */
typedef struct tonescan_scan_spec {
    size_t size;            /* sizeof(tonescan_scan_spec) */
    int32_t detector;       /* TONESCAN_RECORDING (default) or TONESCAN_BLOCKS */
    int32_t channel;        /* 0: the average of all channels; N: channel N alone */
    int32_t raw_rate;       /* 0: the input has a header; N: an input without one
                               is signed 16-bit little-endian PCM at N frames/s.
                               One whose header libsndfile or FFmpeg knows is
                               read by its header all the same, with a notice */
    int32_t raw_channels;   /* channels of headerless input; 0: 1 */
    int32_t threads;        /* how many threads one scan may keep busy; 0: 1 */
    /* Not in 0.1.0. Which audio stream of a container is read, counted
     * among its audio streams alone from 1; 0: the first. What libsndfile
     * reads, and headerless PCM, has one. 64 bits wide so that the struct
     * grows on every ABI: a caller built without it passes the smaller
     * size and gets the first stream. */
    int64_t stream;
} tonescan_scan_spec;

#define TONESCAN_SCAN_SPEC_INIT { sizeof(tonescan_scan_spec), TONESCAN_RECORDING, 0, 0, 0, 0, 0 }

/* What a scanner tells as it reads. Every member may be NULL. Calls never
 * overlap, but with threads > 1 they may come from the scanner's own
 * threads; they must not call the scanner back (but for cancel). */
typedef struct tonescan_callbacks {
    size_t size;  /* sizeof(tonescan_callbacks) */
    /* A press, in order, as soon as it is known. */
    void (*press)(void* user, const tonescan_press* press);
    /* Files only: the fraction of the file read, 0 to 1. */
    void (*progress)(void* user, double fraction);
    /* Something about the input worth saying that is not an error. */
    void (*notice)(void* user, const char* text);
    void* user;
    /* Files only, with each progress call: the seconds of audio read so far
     * and the length of the whole file in seconds, estimated from the share
     * read so far (0 while nothing has been read). A struct whose size
     * ends before this member, as hosts built before it pass, is accepted. */
    void (*seconds)(void* user, double read, double total);
} tonescan_callbacks;

typedef struct tonescan_scanner tonescan_scanner;

/* A scanner, or NULL with *error set (TONESCAN_EARG, TONESCAN_ERATE for a
 * raw rate out of range, TONESCAN_ENOMEM). `callbacks` is copied. */
TONESCAN_EXPORT tonescan_scanner* tonescan_scanner_create(const tonescan_scan_spec* spec,
                                                          const tonescan_callbacks* callbacks, int* error);

/* Scans a file by name ("-" is standard input), or what an open descriptor
 * reads (it is not closed). A regular file is checked against the length
 * its header promises; anything else (a pipe, a FIFO, a device) is a
 * stream, read to its end as it comes, with each press called back as soon
 * as it is found. Returns TONESCAN_OK, or a code whose details
 * tonescan_scanner_message gives; presses found before a failure have been
 * called back, the one held at the failure too. A file cut short or
 * rewritten while it is read ends with TONESCAN_ETRUNCATED ("file changed
 * while it was read"); a damaged FLAC frame is skipped with a notice and
 * the scan reads on, to end with TONESCAN_EREAD ("file is damaged"). */
TONESCAN_EXPORT int tonescan_scanner_scan_path(tonescan_scanner* scanner, const char* path);
TONESCAN_EXPORT int tonescan_scanner_scan_fd(tonescan_scanner* scanner, int fd);

/* Makes the scan going on, or the next one, end soon with
 * TONESCAN_ECANCELLED. The one call that may come from another thread. */
TONESCAN_EXPORT void tonescan_scanner_cancel(tonescan_scanner* scanner);

/* Why the last scan failed, in words ("file is truncated: ..."); "" after
 * a scan that succeeded. Valid until the next scan. */
TONESCAN_EXPORT const char* tonescan_scanner_message(const tonescan_scanner* scanner);

/* The 62.5 ms blocks the last scan analysed (TONESCAN_BLOCKS), or 0. */
TONESCAN_EXPORT int64_t tonescan_scanner_blocks(const tonescan_scanner* scanner);

/* Frees the scanner; NULL is ignored. */
TONESCAN_EXPORT void tonescan_scanner_destroy(tonescan_scanner* scanner);

/* ------------------------------------------------------------------------
 * Redaction: frames in, the same frames out with every span where a key's
 * tone pair stands masked in every channel.
 *
 * Masked are the presses the recording detector reports, and the tone
 * pairs too short or too weak to count as a press that its windows hold
 * for 20 ms or more, clear of other sound in one window at least but for
 * a background under them and their overtones (music's notes at key
 * frequencies come with other notes beside them). Each span is widened by
 * a guard on both sides and replaced by silence or by noise at the level
 * of the audio before it,
 * faded out and in over 5 ms (less in a span shorter than 10 ms) inside
 * the span. Outside the spans every sample comes out bit for bit as it
 * went in.
 */

#define TONESCAN_FILL_SILENCE 0
#define TONESCAN_FILL_NOISE 1

/* Fill it with TONESCAN_REDACT_SPEC_INIT(rate, channels). */
typedef struct tonescan_redact_spec {
    size_t size;       /* sizeof(tonescan_redact_spec) */
    int32_t rate;      /* frames per second, 4000-192000 */
    int32_t channels;  /* samples per frame, 1-1024; all are heard and masked */
    int32_t guard_ms;  /* widening of each span on both sides, 0-1000; default 20 */
    int32_t fill;      /* TONESCAN_FILL_SILENCE (default) or TONESCAN_FILL_NOISE */
} tonescan_redact_spec;

#define TONESCAN_REDACT_SPEC_INIT(rate, channels) \
    { sizeof(tonescan_redact_spec), (rate), (channels), 20, TONESCAN_FILL_SILENCE }

/* One masked span, in frames of the input from its first, guards included. */
typedef struct tonescan_span {
    int64_t start;  /* first masked frame */
    int64_t end;    /* one past the last */
    char key;       /* the key whose tones it held, or 0 if not known */
    int32_t press;  /* 1: it held a press; 0: tones too short or weak for one */
} tonescan_span;

typedef struct tonescan_redactor tonescan_redactor;

/* A redactor for one stream, or NULL with *error set: TONESCAN_EARG,
 * TONESCAN_ERATE, TONESCAN_ECHANNEL or TONESCAN_ENOMEM. */
TONESCAN_EXPORT tonescan_redactor* tonescan_redactor_create(const tonescan_redact_spec* spec, int* error);

/* The delay in frames: rate * (guard_ms + 300) / 1000, rounded up. Frame n
 * of the input comes out once frame n + delay has gone in, or at the end. */
TONESCAN_EXPORT int64_t tonescan_redactor_delay(const tonescan_redactor* redactor);

/* Feeds `count` interleaved frames and writes into `out` (room for `count`
 * frames) the frames that are due, *written (never NULL) of them: none
 * while the first `delay` frames go in, then as many as go in. After
 * tonescan_redactor_finish, `in` must be NULL: each call gives up to
 * `count` of the frames still held, 0 when all are out. A stream is fed one
 * sample type (TONESCAN_EARG for the other); TONESCAN_EENDED for frames fed
 * after the finish. Feeding allocates nothing but the first feed's buffer
 * for the delay, and room for more than 64 spans not yet taken. */
TONESCAN_EXPORT int tonescan_redactor_feed_i16(tonescan_redactor* redactor, const int16_t* in, size_t count,
                                               int16_t* out, size_t* written);
TONESCAN_EXPORT int tonescan_redactor_feed_f32(tonescan_redactor* redactor, const float* in, size_t count,
                                               float* out, size_t* written);

/* Ends the input: what is held is decided on and comes out through the
 * feed calls that follow. */
TONESCAN_EXPORT int tonescan_redactor_finish(tonescan_redactor* redactor);

/* Moves up to `max` spans into `spans`, in order, and returns how many. A
 * span is there once the frame after it has come out, or the last frame. */
TONESCAN_EXPORT size_t tonescan_redactor_take(tonescan_redactor* redactor, tonescan_span* spans, size_t max);

/* Frees the redactor; NULL is ignored. */
TONESCAN_EXPORT void tonescan_redactor_destroy(tonescan_redactor* redactor);

/* ------------------------------------------------------------------------ */

/* A result in words, e.g. "the press queue is full". */
TONESCAN_EXPORT const char* tonescan_strerror(int error);

/* The library's version, "0.1.0". */
TONESCAN_EXPORT const char* tonescan_version(void);

#ifdef __cplusplus
}
#endif

#endif
