/* A key plan for the libtonescan consumers, in C99 and C++: every key twice,
 * 60 ms of its tone pair at -10 dBFS per tone and 60 ms of silence, written
 * interleaved into channel 1 of a buffer while the other channels carry a
 * 400 Hz hum, so that a detector listening to channel 1 alone hears only the
 * keys. */
#ifndef KEY_PLAN_H
#define KEY_PLAN_H

#include <math.h>
#include <stddef.h>

#define KEY_PLAN_KEYS "0123456789*#ABCD0123456789*#ABCD"
#define KEY_PLAN_PRESSES 32
#define KEY_PLAN_TONE 0.060
#define KEY_PLAN_PAUSE 0.060
#define KEY_PLAN_LEAD 0.100 /* silence before the first key */
#define KEY_PLAN_DBFS (-10.0)

static const double key_plan_pi = 3.14159265358979323846;

/* The frequencies of `key`; 0 when it is not a key. */
static int key_plan_tones(char key, double* low, double* high) {
    static const char keys[] = "123A456B789C*0#D";
    static const double lows[] = {697, 770, 852, 941};
    static const double highs[] = {1209, 1336, 1477, 1633};
    int i;
    for (i = 0; i < 16; ++i) {
        if (keys[i] == key) {
            *low = lows[i / 4];
            *high = highs[i % 4];
            return 1;
        }
    }
    return 0;
}

/* First frame of press `n` at `rate`, and one past its last. */
static size_t key_plan_start(int n, int rate) {
    return (size_t)((KEY_PLAN_LEAD + n * (KEY_PLAN_TONE + KEY_PLAN_PAUSE)) * rate + 0.5);
}
static size_t key_plan_end(int n, int rate) {
    return key_plan_start(n, rate) + (size_t)(KEY_PLAN_TONE * rate + 0.5);
}

/* Frames the plan takes at `rate`: the last pause included. */
static size_t key_plan_frames(int rate) { return key_plan_start(KEY_PLAN_PRESSES, rate); }

/* The plan's sample `frame` of `channel` (1-based), full scale 1.0. */
static double key_plan_sample(size_t frame, int channel, int rate) {
    const double amplitude = pow(10.0, KEY_PLAN_DBFS / 20.0);
    const double t = (double)frame / rate;
    double low = 0, high = 0;
    int n;
    if (channel != 1) return 0.5 * sin(2 * key_plan_pi * 400 * t);
    for (n = 0; n < KEY_PLAN_PRESSES; ++n) {
        if (frame >= key_plan_start(n, rate) && frame < key_plan_end(n, rate)) {
            const double since = (double)(frame - key_plan_start(n, rate)) / rate;
            key_plan_tones(KEY_PLAN_KEYS[n], &low, &high);
            return amplitude * (sin(2 * key_plan_pi * low * since) + sin(2 * key_plan_pi * high * since));
        }
    }
    return 0;
}

#endif
