/* scan_wav: prints the DTMF key presses of a WAV file, found by pushing its
 * frames through a libtonescan detector. One line per press: the key, its
 * start and end in seconds, and the levels of its low and high tone.
 *
 *   cc scan_wav.c $(pkg-config --cflags --libs tonescan) -o scan_wav
 *   ./scan_wav call.wav
 *   1 0.200 0.350 -10.0 -8.5
 *
 * The file is read with stdio alone: 16-bit PCM or 32-bit float, any rate
 * from 4000 to 192000 frames/s, up to 8 channels (averaged). */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <tonescan.h>

enum { PIECE = 4096 }; /* frames read and fed at a time */

static uint32_t le16(const unsigned char* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t le32(const unsigned char* p) { return le16(p) | le16(p + 2) << 16; }

struct wav {
    int rate, channels, is_float;
    uint32_t data_bytes; /* of the data chunk, which the file is positioned at */
};

/* Walks the chunks up to "data", taking the format from "fmt ". */
static const char* read_header(FILE* file, struct wav* wav) {
    unsigned char head[12], chunk[8], fmt[40];
    int have_fmt = 0;
    if (fread(head, 1, 12, file) != 12 || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0) {
        return "not a WAV file";
    }
    while (fread(chunk, 1, 8, file) == 8) {
        const uint32_t size = le32(chunk + 4);
        if (memcmp(chunk, "fmt ", 4) == 0) {
            uint32_t format, bits;
            if (size < 16 || size > sizeof fmt || fread(fmt, 1, size, file) != size) return "bad fmt chunk";
            format = le16(fmt);
            if (format == 0xfffe && size >= 26) format = le16(fmt + 24); /* WAVE_FORMAT_EXTENSIBLE */
            wav->channels = (int)le16(fmt + 2);
            wav->rate = (int)le32(fmt + 4);
            bits = le16(fmt + 14);
            if (format == 1 && bits == 16) {
                wav->is_float = 0;
            } else if (format == 3 && bits == 32) {
                wav->is_float = 1;
            } else {
                return "neither 16-bit PCM nor 32-bit float";
            }
            if (size % 2 == 1 && fgetc(file) == EOF) return "bad fmt chunk";
            have_fmt = 1;
        } else if (memcmp(chunk, "data", 4) == 0) {
            wav->data_bytes = size;
            return have_fmt ? NULL : "no fmt chunk before the data";
        } else if (fseek(file, (long)size + (long)(size % 2), SEEK_CUR) != 0) {
            return "cannot skip a chunk";
        }
    }
    return "no data chunk";
}

static void print_presses(tonescan_detector* detector, int rate) {
    tonescan_press presses[16];
    size_t n, i;
    while ((n = tonescan_detector_take(detector, presses, 16)) > 0) {
        for (i = 0; i < n; ++i) {
            printf("%c %.3f %.3f %.1f %.1f\n", presses[i].key, (double)presses[i].start / rate,
                   (double)presses[i].end / rate, presses[i].low_dbfs, presses[i].high_dbfs);
        }
    }
}

/* Feeds `frames` frames of `samples`; when the press queue is full, prints
 * what it holds and feeds the rest. */
static int feed(tonescan_detector* detector, const struct wav* wav, const unsigned char* bytes, size_t frames) {
    static int16_t shorts[PIECE * 8];
    static float floats[PIECE * 8];
    const size_t samples = frames * (size_t)wav->channels;
    size_t i, done = 0, consumed;
    int result;
    for (i = 0; i < samples; ++i) {
        if (wav->is_float) {
            const uint32_t bits = le32(bytes + 4 * i);
            memcpy(&floats[i], &bits, sizeof bits);
        } else {
            const int32_t value = (int32_t)le16(bytes + 2 * i);
            shorts[i] = (int16_t)(value >= 0x8000 ? value - 0x10000 : value);
        }
    }
    do {
        result = wav->is_float
                     ? tonescan_detector_feed_f32(detector, floats + done * (size_t)wav->channels, frames - done,
                                                  &consumed)
                     : tonescan_detector_feed_i16(detector, shorts + done * (size_t)wav->channels, frames - done,
                                                  &consumed);
        done += consumed;
        print_presses(detector, wav->rate);
    } while (result == TONESCAN_EFULL);
    return result;
}

int main(int argc, char** argv) {
    static unsigned char bytes[PIECE * 8 * 4];
    struct wav wav = {0, 0, 0, 0};
    tonescan_spec stream;
    tonescan_detector* detector;
    FILE* file;
    const char* problem;
    size_t frame_bytes, frames;
    int result = TONESCAN_OK;
    if (argc != 2) {
        fputs("usage: scan_wav FILE.wav\n", stderr);
        return 2;
    }
    file = fopen(argv[1], "rb");
    if (file == NULL) {
        perror(argv[1]);
        return 1;
    }
    problem = read_header(file, &wav);
    if (problem == NULL && (wav.channels < 1 || wav.channels > 8)) problem = "more than 8 channels";
    if (problem != NULL) {
        fprintf(stderr, "%s: %s\n", argv[1], problem);
        fclose(file);
        return 1;
    }
    {
        const tonescan_spec init = TONESCAN_SPEC_INIT(wav.rate, wav.channels);
        stream = init;
    }
    detector = tonescan_detector_create(&stream, &result);
    if (detector == NULL) {
        fprintf(stderr, "%s: %s\n", argv[1], tonescan_strerror(result));
        fclose(file);
        return 1;
    }
    frame_bytes = (size_t)wav.channels * (wav.is_float ? 4 : 2);
    while (result == TONESCAN_OK && wav.data_bytes >= frame_bytes) {
        size_t want = wav.data_bytes / frame_bytes;
        if (want > PIECE) want = PIECE;
        frames = fread(bytes, frame_bytes, want, file);
        if (frames == 0) break;
        wav.data_bytes -= (uint32_t)(frames * frame_bytes);
        result = feed(detector, &wav, bytes, frames);
    }
    if (result == TONESCAN_OK && (ferror(file) || wav.data_bytes >= frame_bytes)) {
        fprintf(stderr, "%s: %s\n", argv[1], ferror(file) ? "read error" : "the file ends before its data");
        result = TONESCAN_EREAD;
    }
    /* The end of the stream ends a press still going. */
    if (result == TONESCAN_OK) {
        while ((result = tonescan_detector_finish(detector)) == TONESCAN_EFULL) print_presses(detector, wav.rate);
    }
    print_presses(detector, wav.rate);
    if (result != TONESCAN_OK && result != TONESCAN_EREAD) fprintf(stderr, "%s: %s\n", argv[1], tonescan_strerror(result));
    tonescan_detector_destroy(detector);
    fclose(file);
    return result == TONESCAN_OK ? 0 : 1;
}
