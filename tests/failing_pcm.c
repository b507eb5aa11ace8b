/* An ALSA capture plugin for tests: a device without a clock (always a period
 * ready, as the null device) that delivers `good_frames` frames of silence,
 * then fails `failures` reads in a row with -`error` (every read from then on
 * when `failures` is -1), then delivers again. Stops and failed reads are
 * counted, for the test to see how often the device was tried.
 *
 *   pcm_type.tonewatch_failing { lib "/path/to/this/module.so" }
 *   pcm.!default { type tonewatch_failing good_frames 600 failures -1 error 32 }
 */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

struct failing_pcm {
    snd_pcm_ioplug_t io;
    long good_frames;
    long failures;
    long error;
    long delivered;
    long failed;
};

/* Read by the test through dlsym. */
__attribute__((visibility("default"))) int tonewatch_failing_stops;
__attribute__((visibility("default"))) int tonewatch_failing_reads_failed;

static int failing_start(snd_pcm_ioplug_t *io) {
    (void)io;
    return 0;
}

static int failing_stop(snd_pcm_ioplug_t *io) {
    (void)io;
    __atomic_add_fetch(&tonewatch_failing_stops, 1, __ATOMIC_SEQ_CST);
    return 0;
}

static snd_pcm_sframes_t failing_pointer(snd_pcm_ioplug_t *io) {
    return (snd_pcm_sframes_t)((io->appl_ptr + io->period_size) % io->buffer_size);
}

static snd_pcm_sframes_t failing_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                                          snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    struct failing_pcm *pcm = io->private_data;
    if (pcm->delivered >= pcm->good_frames && (pcm->failures < 0 || pcm->failed < pcm->failures)) {
        ++pcm->failed;
        __atomic_add_fetch(&tonewatch_failing_reads_failed, 1, __ATOMIC_SEQ_CST);
        return -pcm->error;
    }
    if (pcm->delivered < pcm->good_frames && (long)size > pcm->good_frames - pcm->delivered) {
        size = (snd_pcm_uframes_t)(pcm->good_frames - pcm->delivered);
    }
    snd_pcm_areas_silence(areas, offset, io->channels, size, io->format);
    pcm->delivered += (long)size;
    return (snd_pcm_sframes_t)size;
}

static int failing_close(snd_pcm_ioplug_t *io) {
    struct failing_pcm *pcm = io->private_data;
    close(io->poll_fd);
    free(pcm);
    return 0;
}

static const snd_pcm_ioplug_callback_t failing_callbacks = {
    .start = failing_start,
    .stop = failing_stop,
    .pointer = failing_pointer,
    .transfer = failing_transfer,
    .close = failing_close,
};

static int read_number(snd_config_t *node, long *value) {
    const char *text;
    if (snd_config_get_integer(node, value) == 0) return 0;
    if (snd_config_get_string(node, &text) < 0) return -EINVAL;
    *value = strtol(text, NULL, 10);
    return 0;
}

SND_PCM_PLUGIN_DEFINE_FUNC(tonewatch_failing) {
    (void)root;
    if (stream != SND_PCM_STREAM_CAPTURE) return -EINVAL;
    struct failing_pcm *pcm = calloc(1, sizeof *pcm);
    if (pcm == NULL) return -ENOMEM;
    pcm->error = EIO;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t *node = snd_config_iterator_entry(i);
        const char *id;
        if (snd_config_get_id(node, &id) < 0) continue;
        long *value = strcmp(id, "good_frames") == 0 ? &pcm->good_frames
                      : strcmp(id, "failures") == 0  ? &pcm->failures
                      : strcmp(id, "error") == 0     ? &pcm->error
                                                     : NULL;
        if (value != NULL && read_number(node, value) < 0) {
            free(pcm);
            return -EINVAL;
        }
    }

    pcm->io.version = SND_PCM_IOPLUG_VERSION;
    pcm->io.name = "tonewatch failing capture";
    pcm->io.callback = &failing_callbacks;
    pcm->io.private_data = pcm;
    /* Always readable: the device has no clock. */
    pcm->io.poll_fd = eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
    pcm->io.poll_events = POLLIN;
    pcm->io.mmap_rw = 0;
    int err = snd_pcm_ioplug_create(&pcm->io, name, stream, mode);
    if (err < 0) {
        close(pcm->io.poll_fd);
        free(pcm);
        return err;
    }
    static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned int format[] = {SND_PCM_FORMAT_S16_LE};
    if ((err = snd_pcm_ioplug_set_param_list(&pcm->io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(&pcm->io, SND_PCM_IOPLUG_HW_FORMAT, 1, format)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&pcm->io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&pcm->io, SND_PCM_IOPLUG_HW_RATE, 4000, 48000)) < 0) {
        snd_pcm_ioplug_delete(&pcm->io);
        return err;
    }
    *pcmp = pcm->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(tonewatch_failing);
