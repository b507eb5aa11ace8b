"""Touch-tone (DTMF) key presses in recordings and numpy arrays, through libtonescan.

Find the presses of a file, or of samples you already have:

>>> import numpy as np, tonescan
>>> rate = 8000
>>> t = np.arange(int(0.1 * rate)) / rate
>>> tone = 0.3 * np.sin(2 * np.pi * 770 * t) + 0.3 * np.sin(2 * np.pi * 1336 * t)
>>> audio = np.concatenate([np.zeros(800), tone, np.zeros(800)]).astype(np.float32)
>>> [p.key for p in tonescan.scan(audio, rate)]
['5']

tonescan.scan_file("call.wav") reads what dtmf-scan reads; tonescan.redact()
and tonescan.redact_file() mask the key tones; tonescan.Detector takes a
stream in pieces. Bad arguments raise ValueError, files that cannot be read
OSError with the file's name. The C code runs without the GIL, so threads
scan side by side.
"""

from __future__ import annotations

import os
import tempfile
from typing import Any, List, Optional, Tuple, Union

import numpy as np

from . import _tonescan
from ._tonescan import Detector
from ._types import Press, Span

__version__: str = _tonescan.__version__

__all__ = ["Detector", "Press", "Span", "__version__", "plot", "redact", "redact_file", "scan", "scan_file"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def scan(array: np.ndarray, rate: int, *, channel: Optional[int] = None, detector: str = "recording") -> List[Press]:
    """The key presses of an array of samples.

    array is int16 (full scale 32768), float32 or float64 (full scale 1.0),
    shaped (frames,) or (frames, channels); rate is frames per second
    (4000-192000); channel is None for the average of all channels or 1-based;
    detector is "recording" or "library".

    >>> import numpy as np, tonescan
    >>> tonescan.scan(np.zeros((8000, 2), dtype=np.int16), 8000, channel=2)
    []
    """
    if not isinstance(array, np.ndarray):
        raise ValueError(f"array must be a numpy array, not {type(array).__name__}")
    channels = array.shape[1] if array.ndim == 2 else 1
    stream = Detector(rate, channels, channel, detector)
    return stream.feed(array) + stream.flush()


def scan_file(
    path: PathLike,
    *,
    detector: str = "recording",
    channel: Optional[int] = None,
    stream: Optional[int] = None,
    raw_rate: Optional[int] = None,
    raw_channels: int = 1,
    threads: int = 1,
) -> List[Press]:
    """The key presses of a file, read as dtmf-scan reads it.

    Reads WAV, FLAC, Ogg, AIFF and what else libsndfile reads, and where the
    library was built with FFmpeg AAC/M4A, AMR, G.722, G.729, Opus and the
    audio of video files. stream picks the Nth audio stream of a container;
    raw_rate reads a file without a header as signed 16-bit little-endian
    PCM at that rate, with raw_channels channels; threads lets one long file
    be read in parts side by side. Notices (a header without a length, a
    raw_rate given for a file with a header) come as RuntimeWarning.

    Raises OSError (filename set, errno where the file system tells it) for
    a file that cannot be opened, is not audio, is cut short or cannot be
    decoded, and ValueError for bad arguments (or a channel or stream the
    file does not have). The OSError's ``presses`` holds the presses found
    before the fault, as dtmf-scan prints them before its error.

    >>> import tonescan
    >>> tonescan.scan_file("/no/such.wav")
    Traceback (most recent call last):
    ...
    FileNotFoundError: [Errno 2] ...: '/no/such.wav'
    """
    return _tonescan.scan_file(
        path,
        detector=detector,
        channel=channel,
        stream=stream,
        raw_rate=raw_rate,
        raw_channels=raw_channels,
        threads=threads,
    )


def redact(array: np.ndarray, rate: int, *, guard_ms: int = 20, fill: str = "silence") -> Tuple[np.ndarray, List[Span]]:
    """A copy of the array with every key tone masked, and the spans masked.

    Every channel is masked over each span, which is widened by guard_ms on
    both sides and filled with silence or, with fill="noise", noise at the
    level of the audio before it. Outside the spans the copy equals the
    input bit for bit. The copy has the input's dtype and shape.

    >>> import numpy as np, tonescan
    >>> masked, spans = tonescan.redact(np.zeros(8000, dtype=np.int16), 8000)
    >>> masked.dtype, masked.shape, spans
    (dtype('int16'), (8000,), [])
    """
    return _tonescan.redact(array, rate, guard_ms=guard_ms, fill=fill)


# Sample types read from a file: those of 16 bits or fewer as int16 and
# 24- and 32-bit PCM as int32, so that what is not masked is written back as
# it was read; floats as they are; compressed audio as float32.
_SHORT_SUBTYPES = {
    "PCM_S8", "PCM_U8", "PCM_16", "ULAW", "ALAW", "IMA_ADPCM", "MS_ADPCM", "GSM610", "VOX_ADPCM",
    "NMS_ADPCM_16", "NMS_ADPCM_24", "NMS_ADPCM_32", "G721_32", "G723_24", "G723_40", "DWVW_12", "DWVW_16",
    "DPCM_8", "DPCM_16",
}
_DTYPES = {"PCM_24": "int32", "PCM_32": "int32", "DWVW_24": "int32", "FLOAT": "float32", "DOUBLE": "float64"}

_BLOCK_FRAMES = 65536


def _dtype_of(subtype: str) -> str:
    return "int16" if subtype in _SHORT_SUBTYPES else _DTYPES.get(subtype, "float32")


def _new_file_mode(dst: str) -> int:
    try:
        return os.stat(dst).st_mode & 0o7777
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def redact_file(src: PathLike, dst: PathLike, *, guard_ms: int = 20, fill: str = "silence") -> List[Span]:
    """Writes a copy of a sound file with every key tone masked; returns the spans.

    src is read with soundfile (python3-soundfile) a block at a time, and dst
    is written in src's format, subtype, endianness, rate and channels.
    16-bit and narrower PCM, 24- and 32-bit PCM and floats come out bit for
    bit as they went in outside the spans. dst is written as a temporary
    file in its folder and renamed over dst at the end, so that a failure
    leaves no partial dst; src may be dst.

    >>> import tonescan
    >>> spans = tonescan.redact_file("call.wav", "call-masked.wav")  # doctest: +SKIP
    >>> [(s.start, s.end, s.key) for s in spans]  # doctest: +SKIP
    [(1.23, 1.41, '5')]
    """
    import soundfile

    src_name = os.fsdecode(os.fspath(src))
    dst_name = os.fsdecode(os.fspath(dst))
    # The OS's own error for a file that cannot be opened (missing,
    # forbidden, a folder), with its errno.
    with open(src_name, "rb"):
        pass
    try:
        source = soundfile.SoundFile(src_name)
    except RuntimeError as error:
        raise OSError(None, str(error), src_name) from error
    with source:
        redactor = _tonescan._Redactor(source.samplerate, source.channels, guard_ms, fill)
        dtype = _dtype_of(source.subtype)
        folder = os.path.dirname(os.path.abspath(dst_name))
        mode = _new_file_mode(dst_name)
        handle, temporary = tempfile.mkstemp(prefix="." + os.path.basename(dst_name) + ".", suffix=".redact", dir=folder)
        os.close(handle)
        spans: List[Span] = []
        try:
            with soundfile.SoundFile(
                temporary,
                "w",
                samplerate=source.samplerate,
                channels=source.channels,
                format=source.format,
                subtype=source.subtype,
                endian=source.endian,
            ) as target:
                try:
                    for block in source.blocks(blocksize=_BLOCK_FRAMES, dtype=dtype, always_2d=True):
                        target.write(redactor.feed(block))
                        spans += redactor.take()
                except RuntimeError as error:
                    raise OSError(None, str(error), src_name) from error
                target.write(redactor.finish())
                spans += redactor.take()
            os.chmod(temporary, mode)
            os.replace(temporary, dst_name)
        except BaseException:
            os.unlink(temporary)
            raise
    return spans


def plot(
    array_or_path: Union[np.ndarray, PathLike],
    rate: Optional[int] = None,
    presses: Optional[List[Press]] = None,
    ax: Any = None,
    *,
    redacted: Union[np.ndarray, PathLike, None] = None,
    spans: Optional[List[Span]] = None,
    detector: str = "recording",
    channel: Optional[int] = None,
) -> Any:
    """Draws a recording's spectrogram (0 to 2 kHz) with its key presses.

    The eight key frequencies are faint lines; each press (by default those
    that scan or scan_file finds with detector and channel) is shaded and
    labelled with its key. Given a redacted copy (an array or a file), it is
    drawn below on the same colour scale with its masked spans (spans, or the
    frames where it differs). Returns the Axes, or the pair (original, copy).
    matplotlib is imported only here.

    >>> import tonescan
    >>> ax = tonescan.plot("call.wav")                      # doctest: +SKIP
    >>> ax.figure.savefig("call.png")                       # doctest: +SKIP
    """
    from ._plot import plot as draw

    return draw(array_or_path, rate, presses, ax, redacted=redacted, spans=spans, detector=detector,
                channel=channel)
