"""Pictures of key presses: a spectrogram up to 2 kHz with the eight key
frequencies, each press shaded and labelled with its key, and the masked spans
of a redacted copy beside it.

matplotlib is imported here only, so that ``import tonescan`` never loads it.
"""

import math
import os

import numpy as np
from matplotlib import colors

from . import scan, scan_file

__all__ = ["KEY_FREQUENCIES", "plot"]

#: The DTMF row (low) and column (high) tone frequencies, in Hz.
KEY_FREQUENCIES = (697, 770, 852, 941, 1209, 1336, 1477, 1633)

_TOP_HZ = 2000.0
# 32 ms resolves the closest key tones (697 and 770 Hz) into separate bins
# and a press of 40 ms still fills a column.
_WINDOW_S = 0.032
# More columns than a picture has pixels only cost memory.
_MAX_COLUMNS = 4000
_BLOCK_FRAMES = 1 << 16
# The colours span this many dB below the loudest bin: key tones at -10 to
# -30 dBFS stand out of a recording's noise floor, which stays dark.
_RANGE_DB = 70.0
# The top colour is never below this level: silence, or a whisper of noise,
# is drawn dark rather than stretched over the whole scale.
_QUIETEST_TOP_DB = -40.0
# A silence fill over samples that were already zero leaves the copy equal to
# the original there; such gaps inside one masked span are not its end.
_MASK_GAP_S = 0.02


def plot(array_or_path, rate=None, presses=None, ax=None, *, redacted=None, spans=None,
         detector="recording", channel=None):
    """Draw a recording's spectrogram (0 to 2 kHz) with its key presses.

    The eight key frequencies are faint horizontal lines; each press is a
    shaded band labelled with its key above it.

    Parameters
    ----------
    array_or_path : numpy.ndarray, str, bytes or os.PathLike
        Samples (int16, float32 or float64, shaped (frames,) or
        (frames, channels)) or a file that python3-soundfile reads.
    rate : int, optional
        The array's frames per second; for a file, its own rate (a different
        one is a ValueError).
    presses : list of Press, optional
        What to mark; by default ``tonescan.scan`` or ``tonescan.scan_file``
        with ``detector`` and ``channel``.
    ax : matplotlib.axes.Axes, optional
        Where to draw; with ``redacted``, a pair of Axes (original, copy).
        By default a new pyplot figure.
    redacted : numpy.ndarray, str, bytes or os.PathLike, optional
        A redacted copy of the same audio (``tonescan.redact``,
        ``tonescan.redact_file`` or dtmf-redact), drawn below the original
        with its masked spans shaded.
    spans : list of Span, optional
        The copy's masked spans as ``tonescan.redact`` returns them; by
        default the runs of frames where the copy differs from the original.
    detector : str
        "recording" or "library", for the presses found by default.
    channel : int, optional
        The 1-based channel to draw and scan; by default all, averaged.

    Returns
    -------
    matplotlib.axes.Axes, or a tuple (original, copy) of two with ``redacted``.

    Raises
    ------
    ValueError
        No rate for an array, a rate that disagrees with the file, no such
        channel, or a copy of another length or rate.
    OSError
        An unreadable file.

    Examples
    --------
    >>> import tonescan
    >>> ax = tonescan.plot("call.wav")
    >>> ax.figure.savefig("call.png")

    An array, with the masked spans of its redacted copy below it:

    >>> import soundfile
    >>> samples, rate = soundfile.read("call.wav", dtype="int16")
    >>> masked, spans = tonescan.redact(samples, rate)
    >>> original, copy = tonescan.plot(samples, rate, redacted=masked, spans=spans)
    """
    if redacted is not None and ax is not None:
        try:
            original_ax, copy_ax = ax
        except (TypeError, ValueError):
            raise ValueError("with a redacted copy, ax is a pair of Axes (original, copy)") from None
    audio = _Audio.open(array_or_path, rate, channel)
    copy = None
    if redacted is not None:
        copy = _Audio.open(redacted, audio.rate, channel)
        if copy.frames != audio.frames or copy.channels != audio.channels:
            raise ValueError(
                f"the redacted copy has {copy.frames} frames of {copy.channels} channels, "
                f"the original {audio.frames} of {audio.channels}")
    elif spans is not None:
        raise ValueError("spans are those of a redacted copy: pass it as redacted")
    if presses is None:
        presses = audio.scan(detector)

    if ax is None:
        from matplotlib import pyplot

        rows = 1 if copy is None else 2
        _, axes = pyplot.subplots(rows, 1, sharex=True, squeeze=False,
                                  figsize=(12, 3.5 * rows), layout="constrained")
        ax = axes[0, 0]
        if copy is not None:
            original_ax, copy_ax = axes[:, 0]
            # One time axis below both.
            original_ax.xaxis.label.set_visible(False)
    if copy is None:
        spectrogram = _spectrogram(audio)
        _draw(ax, audio, spectrogram, _top_db(spectrogram), presses, "press")
        return ax
    if spans is None:
        spans = _masked_spans(audio, copy)
    spectrograms = _spectrogram(audio), _spectrogram(copy)
    # One colour scale for both: the copy's noise is as dark as the original's.
    top_db = max(_top_db(spectrogram) for spectrogram in spectrograms)
    _draw(original_ax, audio, spectrograms[0], top_db, presses, "press")
    _draw(copy_ax, copy, spectrograms[1], top_db, spans, "masked")
    original_ax.set_title("original", loc="left", fontsize="small")
    copy_ax.set_title("redacted", loc="left", fontsize="small")
    return original_ax, copy_ax


class _Audio:
    """Samples as float32 frames in [-1, 1), from an array or a file."""

    def __init__(self, source, path, rate, frames, channels, channel):
        self.source = source
        self.path = path
        self.rate = rate
        self.frames = frames
        self.channels = channels
        self.channel = channel

    @classmethod
    def open(cls, array_or_path, rate, channel):
        if isinstance(array_or_path, (str, bytes, os.PathLike)):
            import soundfile

            path = array_or_path
            # Opened here, so that a missing or unreadable file is the OSError
            # Python gives, with its errno.
            with open(path, "rb") as file:
                try:
                    info = soundfile.info(file)
                except RuntimeError as error:
                    raise _os_error(path, error) from error
            if rate is not None and rate != info.samplerate:
                raise ValueError(f"{os.fsdecode(path)} is at {info.samplerate} frames/s, not {rate}")
            audio = cls(None, path, info.samplerate, info.frames, info.channels, channel)
        else:
            if rate is None:
                raise ValueError("an array needs its rate")
            array = np.asarray(array_or_path)
            if array.ndim not in (1, 2) or array.dtype not in (np.int16, np.float32, np.float64):
                raise ValueError(f"expected int16, float32 or float64 samples shaped (frames,) or "
                                 f"(frames, channels), not {array.dtype} shaped {array.shape}")
            frames2d = array[:, np.newaxis] if array.ndim == 1 else array
            if frames2d.shape[1] == 0:
                raise ValueError("the array has no channels")
            audio = cls(frames2d, None, int(rate), frames2d.shape[0], frames2d.shape[1], channel)
        if audio.rate <= 0:
            raise ValueError(f"rate {audio.rate} is not a rate")
        if channel is not None and not 1 <= channel <= audio.channels:
            raise ValueError(f"no channel {channel}: the audio has {audio.channels}")
        return audio

    def scan(self, detector):
        if self.path is not None:
            return scan_file(self.path, detector=detector, channel=self.channel)
        return scan(self.source, self.rate, channel=self.channel, detector=detector)

    def blocks(self):
        """Yields (frames, channels) float32 blocks in order."""
        if self.path is None:
            for start in range(0, self.frames, _BLOCK_FRAMES):
                yield _as_float(self.source[start:start + _BLOCK_FRAMES])
            return
        import soundfile

        with open(self.path, "rb") as file:
            try:
                with soundfile.SoundFile(file) as sound:
                    yield from sound.blocks(_BLOCK_FRAMES, dtype="float32", always_2d=True)
            except RuntimeError as error:
                raise _os_error(self.path, error) from error

    def mono_blocks(self):
        for block in self.blocks():
            if self.channel is not None:
                yield block[:, self.channel - 1]
            else:
                yield block.mean(axis=1, dtype=np.float32)


def _as_float(block):
    if block.dtype == np.int16:
        return block.astype(np.float32) / np.float32(32768)
    return block.astype(np.float32, copy=False)


def _os_error(path, error):
    # soundfile's errors name the file object, not the path.
    failure = OSError(f"{os.fsdecode(path)}: {getattr(error, 'error_string', error)}")
    failure.filename = path
    return failure


def _spectrogram(audio):
    """Levels in dBFS (a full-scale sine reads 0), shaped (bins, columns), with
    the time of the first column's centre and the column step in seconds, and
    the bin step in Hz (the first bin is centred on 0 Hz)."""
    window_len = max(16, round(audio.rate * _WINDOW_S))
    hop = max(window_len // 4, -(-audio.frames // _MAX_COLUMNS))
    nfft = 1 << (window_len - 1).bit_length()
    window = np.hanning(window_len).astype(np.float32)
    bin_hz = audio.rate / nfft
    # Enough bins that the top one reaches past the picture's top edge.
    bins = min(math.ceil(_top_hz(audio.rate) / bin_hz + 0.5), nfft // 2 + 1)
    full_scale = float(window.sum()) / 2

    columns = []
    buffered = np.zeros(0, np.float32)
    buffered_at = 0  # the frame at buffered[0]
    next_column = 0
    offsets = np.arange(window_len)

    def take(available_end):
        nonlocal next_column
        last = (available_end - window_len) // hop
        if last < next_column:
            return
        starts = np.arange(next_column, last + 1) * hop - buffered_at
        frames = buffered[starts[:, None] + offsets] * window
        columns.append(np.abs(np.fft.rfft(frames, nfft, axis=1)[:, :bins]).T)
        next_column = last + 1

    for block in audio.mono_blocks():
        buffered = np.concatenate((buffered, block))
        take(buffered_at + len(buffered))
        drop = min(len(buffered), next_column * hop - buffered_at)
        buffered = buffered[drop:]
        buffered_at += drop
    if not columns:
        # Shorter than one window: one column of what there is.
        buffered = np.concatenate((buffered, np.zeros(window_len, np.float32)))
        take(buffered_at + window_len)
    magnitude = np.concatenate(columns, axis=1)
    levels = 20 * np.log10(np.maximum(magnitude / full_scale, 1e-12))
    return levels, (window_len / 2) / audio.rate, hop / audio.rate, bin_hz


def _top_hz(rate):
    return min(_TOP_HZ, rate / 2)


def _masked_spans(audio, copy):
    """(start, end) seconds of the runs of frames where the copy differs."""
    changed = []
    for original, masked in zip(audio.blocks(), copy.blocks()):
        changed.append(np.any(original != masked, axis=1))
    changed = np.concatenate(changed) if changed else np.zeros(0, bool)
    edges = np.flatnonzero(np.diff(np.concatenate(([False], changed, [False])).astype(np.int8)))
    starts, ends = edges[0::2], edges[1::2]
    if len(starts) == 0:
        return []
    gap = round(_MASK_GAP_S * audio.rate)
    keep = np.concatenate(([True], starts[1:] - ends[:-1] > gap))
    starts = starts[keep]
    ends = ends[np.concatenate((keep[1:], [True]))]
    return [_Masked(start / audio.rate, end / audio.rate) for start, end in zip(starts, ends)]


class _Masked:
    key = None

    def __init__(self, start, end):
        self.start = start
        self.end = end


def _top_db(spectrogram):
    return max(float(spectrogram[0].max()), _QUIETEST_TOP_DB)


def _draw(ax, audio, spectrogram, top_db, marks, kind):
    levels, first, step, bin_hz = spectrogram
    top_hz = _top_hz(audio.rate)
    ax.imshow(levels, origin="lower", aspect="auto", interpolation="nearest", cmap="magma",
              vmin=top_db - _RANGE_DB, vmax=top_db,
              extent=(first - step / 2, first + step * (levels.shape[1] - 0.5),
                      -bin_hz / 2, bin_hz * (levels.shape[0] - 0.5)))
    for frequency in KEY_FREQUENCIES:
        if frequency < top_hz:
            ax.axhline(frequency, color="white", alpha=0.35, linewidth=0.6, linestyle=":", gid="key-frequency")
    ax.set_yticks([f for f in KEY_FREQUENCIES if f < top_hz])
    ax.tick_params(axis="y", labelsize="x-small")
    ax.set_ylim(0, top_hz)
    ax.set_ylabel("Hz")
    ax.set_xlabel("seconds")

    colour = "cyan" if kind == "press" else "orangered"
    # A masked span is hatched: it is dark beneath, with nothing to keep readable.
    hatch = None if kind == "press" else "//"
    # Labels sit just inside the top edge, at their press's middle.
    label_at = ax.get_xaxis_transform()
    for mark in marks:
        # A light fill with clear edges: the tones inside stay readable.
        ax.axvspan(mark.start, mark.end, facecolor=colors.to_rgba(colour, 0.15),
                   edgecolor=colors.to_rgba(colour, 0.8), linewidth=1, hatch=hatch, gid=kind)
        key = getattr(mark, "key", None)
        if key is not None:
            ax.text((mark.start + mark.end) / 2, 0.97, key, transform=label_at, ha="center", va="top",
                    color="white", fontsize="small", fontweight="bold", gid=kind,
                    bbox={"boxstyle": "round,pad=0.15", "facecolor": colour, "alpha": 0.5, "linewidth": 0})

