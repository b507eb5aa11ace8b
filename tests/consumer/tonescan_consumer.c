/* A host program in C99 over the installed libtonescan: pushes a key plan
 * through a detector at 8000, 16000, 44100 and 48000 frames/s, mono and
 * stereo (the keys in channel 1, a hum in channel 2), as int16 and as float,
 * and checks that every key is found once, in order, where it was played.
 * The int16 runs hand the whole plan over in one call to a detector with
 * the smallest queue, which fills it: the program takes presses and feeds
 * the rest, as a host must. Exit 0 when every run found the plan. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <tonescan.h>

#include "key_plan.h"

/* The detector places a press within 1.5 ms of the tone's
 * edges, and hands its level to within a fraction of a dB. */
#define EDGE_SECONDS 0.002
#define LEVEL_DB 1.0

static int failures = 0;

/* Says what is wrong with the first press that shows it. */
static void fail(const char* run, const char* what, int n, int* said) {
    if (*said) return;
    fprintf(stderr, "tonescan_consumer.c: %s: press %d: %s\n", run, n, what);
    *said = 1;
    ++failures;
}

static void check(const char* run, const tonescan_press* found, size_t count, int rate) {
    int n, key = 0, edges = 0, micro = 0, levels = 0;
    if (count != KEY_PLAN_PRESSES) {
        fprintf(stderr, "tonescan_consumer.c: %s: %u presses, not %d\n", run, (unsigned)count, KEY_PLAN_PRESSES);
        ++failures;
    }
    for (n = 0; n < KEY_PLAN_PRESSES && (size_t)n < count; ++n) {
        const tonescan_press* press = &found[n];
        const double start = (double)key_plan_start(n, rate) / rate, end = (double)key_plan_end(n, rate) / rate;
        if (press->key != KEY_PLAN_KEYS[n]) fail(run, "wrong key", n, &key);
        if (fabs((double)press->start / rate - start) > EDGE_SECONDS ||
            fabs((double)press->end / rate - end) > EDGE_SECONDS) {
            fail(run, "start or end misplaced", n, &edges);
        }
        if (fabs(press->start_us / 1e6 - (double)press->start / rate) > 0.001) fail(run, "start_us differs", n, &micro);
        if (!(fabs(press->low_dbfs - KEY_PLAN_DBFS) <= LEVEL_DB && fabs(press->high_dbfs - KEY_PLAN_DBFS) <= LEVEL_DB)) {
            fail(run, isnan(press->low_dbfs) || isnan(press->high_dbfs) ? "tone levels not measured (NaN)"
                                                                        : "tone levels wrong",
                 n, &levels);
        }
    }
}

/* Pushes the plan, taking presses whenever the queue is full and at the
 * end. Returns how many presses were found, at most `room`. */
static size_t run_i16(tonescan_detector* detector, const int16_t* frames, size_t count, int channels,
                      tonescan_press* found, size_t room) {
    size_t taken = 0, consumed = 0, fills = 0;
    int result;
    while ((result = tonescan_detector_feed_i16(detector, frames, count, &consumed)) == TONESCAN_EFULL) {
        const size_t got = tonescan_detector_take(detector, found + taken, room - taken);
        if (got == 0) break; /* more presses than the plan has: check() says so */
        frames += consumed * (size_t)channels;
        count -= consumed;
        taken += got;
        ++fills;
    }
    if (result != TONESCAN_OK || fills == 0) {
        fprintf(stderr, "tonescan_consumer.c: feed: %s, %u times full\n", tonescan_strerror(result), (unsigned)fills);
        ++failures;
    }
    while (tonescan_detector_finish(detector) == TONESCAN_EFULL && taken < room) {
        taken += tonescan_detector_take(detector, found + taken, room - taken);
    }
    return taken + tonescan_detector_take(detector, found + taken, room - taken);
}

/* Pushes the plan in pieces of 997 frames, taking presses after each. */
static size_t run_f32(tonescan_detector* detector, const float* frames, size_t count, int channels,
                      tonescan_press* found, size_t room) {
    size_t taken = 0, done = 0;
    int result = TONESCAN_OK;
    while (done < count && result == TONESCAN_OK) {
        const size_t piece = count - done < 997 ? count - done : 997;
        result = tonescan_detector_feed_f32(detector, frames + done * (size_t)channels, piece, NULL);
        taken += tonescan_detector_take(detector, found + taken, room - taken);
        done += piece;
    }
    if (result == TONESCAN_OK) result = tonescan_detector_finish(detector);
    if (result != TONESCAN_OK) {
        fprintf(stderr, "tonescan_consumer.c: feed: %s\n", tonescan_strerror(result));
        ++failures;
    }
    return taken + tonescan_detector_take(detector, found + taken, room - taken);
}

int main(void) {
    static const int rates[] = {8000, 16000, 44100, 48000};
    int r, channels, as_float;
    for (r = 0; r < 4; ++r) {
        for (channels = 1; channels <= 2; ++channels) {
            const int rate = rates[r];
            const size_t count = key_plan_frames(rate);
            int16_t* shorts = malloc(count * (size_t)channels * sizeof *shorts);
            float* floats = malloc(count * (size_t)channels * sizeof *floats);
            size_t i;
            int c;
            if (shorts == NULL || floats == NULL) return 1;
            for (i = 0; i < count; ++i) {
                for (c = 0; c < channels; ++c) {
                    const double sample = key_plan_sample(i, c + 1, rate);
                    floats[i * (size_t)channels + (size_t)c] = (float)sample;
                    shorts[i * (size_t)channels + (size_t)c] = (int16_t)lrint(sample * 32767);
                }
            }
            for (as_float = 0; as_float <= 1; ++as_float) {
                tonescan_spec spec = TONESCAN_SPEC_INIT(rate, channels);
                tonescan_press found[2 * KEY_PLAN_PRESSES];
                tonescan_detector* detector;
                char run[64];
                size_t presses;
                int error;
                spec.channel = channels == 2 ? 1 : 0;
                spec.queue = as_float ? 0 : 16;
                sprintf(run, "%d/s, %d channel%s, %s", rate, channels, channels == 1 ? "" : "s",
                        as_float ? "float" : "int16");
                detector = tonescan_detector_create(&spec, &error);
                if (detector == NULL) {
                    fprintf(stderr, "tonescan_consumer.c: %s: %s\n", run, tonescan_strerror(error));
                    return 1;
                }
                presses = as_float ? run_f32(detector, floats, count, channels, found, 2 * KEY_PLAN_PRESSES)
                                   : run_i16(detector, shorts, count, channels, found, 2 * KEY_PLAN_PRESSES);
                check(run, found, presses, rate);
                printf("tonescan_consumer.c: %s: %u presses\n", run, (unsigned)presses);
                tonescan_detector_destroy(detector);
            }
            free(shorts);
            free(floats);
        }
    }
    return failures == 0 ? 0 : 1;
}
