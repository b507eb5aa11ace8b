"""Touch-tone (DTMF) key presses in recordings and numpy arrays, through libtonescan."""

import os
from typing import Any, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._types import Press as Press, Span as Span

__version__: str
__all__: List[str]

PathLike = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

# int16 (full scale 32768), float32 or float64 (full scale 1.0), shaped
# (frames,) or (frames, channels), any strides.
Samples = Union[npt.NDArray[np.int16], npt.NDArray[np.float32], npt.NDArray[np.float64]]

class Detector:
    """A detector for one stream of audio pushed in pieces.

    rate is frames per second (4000-192000); channels the channels of each
    frame; channel None for the average of all, or 1..channels for one
    alone; detector "recording" (made for recordings: tones and pauses down
    to 40 ms, quiet, noisy or coded keys) or "library" (libtonewatch's block
    analysis, as a libtonewatch host hears the audio).

    >>> import numpy as np, tonescan
    >>> detector = tonescan.Detector(8000, channels=2, channel=1)
    >>> for piece in np.array_split(np.zeros((80000, 2), np.int16), 10):
    ...     for press in detector.feed(piece):
    ...         print(press.key, press.start)
    >>> detector.flush()
    []
    """

    def __init__(self, rate: int, channels: int = 1, channel: Optional[int] = None, detector: str = "recording") -> None: ...
    def feed(self, array: Samples) -> List[Press]:
        """Feeds frames; returns the presses found so far, oldest first.

        A press is known about 15 ms after its tone ends (the "library"
        detector: with the next block without its key). A stream is fed one
        kind of samples, int16 or floats; the other is ValueError.
        """
    def flush(self) -> List[Press]:
        """Ends the stream: returns the presses still going, ended at the last frame.

        Feeding after it is ValueError until reset().
        """
    def reset(self) -> None:
        """Starts a new stream with the same settings; presses not returned are dropped."""

def scan(array: Samples, rate: int, *, channel: Optional[int] = None, detector: str = "recording") -> List[Press]:
    """The key presses of an array; a 2-D array's second axis is its channels.

    >>> import numpy as np, tonescan
    >>> rate = 8000
    >>> t = np.arange(800) / rate
    >>> tone = 0.3 * np.sin(2 * np.pi * 941 * t) + 0.3 * np.sin(2 * np.pi * 1477 * t)
    >>> [p.key for p in tonescan.scan(np.concatenate([tone, np.zeros(800)]), rate)]
    ['#']
    """

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
    """The key presses of a file, read as dtmf-scan reads it (WAV, FLAC, Ogg, M4A, ...).

    stream: the Nth audio stream of a container (from 1); raw_rate and
    raw_channels: a file without a header is 16-bit little-endian PCM so
    read; threads: parts of one long file read side by side. Notices come
    as RuntimeWarning. OSError (with filename, errno where known) for a file
    that cannot be opened, is not audio, is cut short or damaged; its
    ``presses`` are those found before the fault.

    >>> import tonescan
    >>> for press in tonescan.scan_file("call.wav", channel=2):  # doctest: +SKIP
    ...     print(f"{press.start:.3f} {press.key}")
    1.250 5
    """

def redact(
    array: Samples, rate: int, *, guard_ms: int = 20, fill: str = "silence"
) -> Tuple[np.ndarray, List[Span]]:
    """A copy with every key tone masked in every channel, and the spans masked.

    fill is "silence" or "noise"; each span is widened by guard_ms on both
    sides. The copy has the input's dtype and shape and equals it bit for
    bit outside the spans.

    >>> import numpy as np, tonescan
    >>> masked, spans = tonescan.redact(np.zeros((8000, 2), np.float32), 8000, fill="noise")
    >>> masked.shape, spans
    ((8000, 2), [])
    """

def redact_file(src: PathLike, dst: PathLike, *, guard_ms: int = 20, fill: str = "silence") -> List[Span]:
    """Writes src with every key tone masked to dst, in src's format; returns the spans.

    Read and written with soundfile a block at a time; dst is written
    through a temporary file beside it, renamed over dst at the end.

    >>> import tonescan
    >>> [s.key for s in tonescan.redact_file("call.flac", "masked.flac")]  # doctest: +SKIP
    ['1', '2', '3']
    """

def plot(
    array_or_path: Union[np.ndarray, PathLike],
    rate: Optional[int] = ...,
    presses: Optional[List[Press]] = ...,
    ax: Any = ...,
    *,
    redacted: Union[np.ndarray, PathLike, None] = ...,
    spans: Optional[List[Span]] = ...,
    detector: str = ...,
    channel: Optional[int] = ...,
) -> Any:
    """A recording's spectrogram up to 2 kHz with its presses shaded and
    labelled, and a redacted copy's masked spans below it; the Axes, or the
    pair (original, copy). Imports matplotlib only when called."""
