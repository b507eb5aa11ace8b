"""Scans of many recordings across a Dask cluster.

``scan_files`` cuts a list of files into batches, scans each batch as one
Dask task with :func:`tonescan.scan_file`, and returns one pandas DataFrame
with a row per press and a row per file that could not be read::

    >>> from dask.distributed import Client
    >>> import tonescan.dask
    >>> client = Client("tcp://scheduler.example:8786")      # doctest: +SKIP
    >>> frame = tonescan.dask.scan_files("/archive/**/*.wav", client)  # doctest: +SKIP
    >>> frame[frame.error.isna()].groupby("file").key.sum()   # doctest: +SKIP

Every worker needs ``tonescan`` importable and the files at the same paths
(shared storage). Without a client, and without a default one, the batches
run here on Dask's local threads; the scans release the GIL.

This module is the only part of ``tonescan`` that imports Dask.
"""

from __future__ import annotations

import glob
import math
import os
import uuid
from typing import TYPE_CHECKING, Iterable, List, Optional, Sequence, Union

import dask
import pandas

import tonescan

if TYPE_CHECKING:
    import distributed

__all__ = ["scan_files", "COLUMNS", "BYTES_PER_SECOND", "SECONDS_PER_FILE"]

COLUMNS = ("file", "key", "start", "end", "start_sample", "end_sample",
           "low_dbfs", "high_dbfs", "error")
# The sample columns may be <NA> (a file's error row) and stay integers.
_TYPES = {"start": "float64", "end": "float64", "start_sample": "Int64", "end_sample": "Int64",
          "low_dbfs": "float64", "high_dbfs": "float64"}

# What a task's cost is guessed from, to size the batches. One thread of an
# x86-64 server core scans about 500 MB/s of 8000/s 16-bit WAV, 375 MB/s of
# 44100/s stereo WAV and 100 MB/s of FLAC with the recording detector; a file
# costs about 0.1 ms more (opening it, its header, a detector, the call),
# and more where opening goes over a network. The guess sits between WAV and
# FLAC: a batch that takes half a second or two instead of one costs nothing
# but a little scheduling or a coarser balance.
BYTES_PER_SECOND = 200e6
SECONDS_PER_FILE = 0.0005

# At least this many batches for each thread of the cluster, however small
# the job, so that a worker that finishes early takes over work and a worker
# that is lost takes little with it.
BATCHES_PER_THREAD = 8

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def scan_files(
    paths_or_glob: Union[PathLike, Iterable[PathLike]],
    client: Union["distributed.Client", str, None] = None,
    *,
    detector: str = "recording",
    channel: Optional[int] = None,
    stream: Optional[int] = None,
    raw_rate: Optional[int] = None,
    raw_channels: int = 1,
    batch_seconds: float = 1.0,
) -> pandas.DataFrame:
    """Scan files for key presses across a Dask cluster.

    Parameters
    ----------
    paths_or_glob
        A path, a glob pattern (``"calls/**/*.wav"``, ``**`` crossing folders;
        a string that names an existing file is taken as that file), or an
        iterable of paths (str, bytes or ``os.PathLike``). Files keep the
        order given; a glob's matches are sorted.
    client
        A ``dask.distributed.Client``, or a scheduler's address
        (``"tcp://host:8786"``) to connect to for this call. ``None`` uses the
        current default client if there is one, else Dask's local threads.
    detector, channel, stream, raw_rate, raw_channels
        As for :func:`tonescan.scan_file` (and dtmf-scan's options).
    batch_seconds
        About how long one task should take. Batches are cut by each file's
        size against ``BYTES_PER_SECOND`` plus ``SECONDS_PER_FILE``, and never
        fewer than eight per thread of the cluster.

    Returns
    -------
    pandas.DataFrame
        Columns ``file, key, start, end, start_sample, end_sample, low_dbfs,
        high_dbfs, error``: one row per press (``error`` None), in the order
        of the files and of the presses in each, and one row per file that
        could not be read, with the reason in ``error`` and the press columns
        empty (None, NaN, <NA>). ``file`` is each path as given (a PathLike
        as its ``os.fspath``). A file that was read and holds no press has no
        row; one that breaks off midway (truncated) has the rows of the
        presses before the fault, then its error row.

    Raises
    ------
    ValueError
        For bad arguments (detector name, channel, stream, raw format,
        batch_seconds), checked here before any task is sent, so that they
        are not reported once per file.

    Examples
    --------
    >>> import tonescan.dask
    >>> frame = tonescan.dask.scan_files(["a.wav", "b.flac", "notes.txt"])  # doctest: +SKIP
    >>> frame[["file", "key", "start", "end", "error"]]                   # doctest: +SKIP
            file   key  start    end                                   error
    0      a.wav     1  0.250  0.330                                    None
    1      a.wav     2  0.500  0.580                                    None
    2  notes.txt  None    NaN    NaN  not a readable audio file: neither ...
    >>> frame.groupby("file").key.sum()                                   # doctest: +SKIP
    file
    a.wav    12

    A worker lost midway is no loss: Dask runs its batches again elsewhere,
    and each batch's rows are taken once.
    """
    if detector not in ("recording", "library"):
        raise ValueError(f"detector must be 'recording' or 'library', not {detector!r}")
    if channel is not None and channel < 1:
        raise ValueError(f"channel must be 1 or more (the first is 1), not {channel}")
    if stream is not None and stream < 1:
        raise ValueError(f"stream must be 1 or more (the first is 1), not {stream}")
    if raw_rate is not None and not 4000 <= raw_rate <= 192000:
        raise ValueError(f"raw_rate must be 4000-192000 samples/s, not {raw_rate}")
    if raw_channels < 1:
        raise ValueError(f"raw_channels must be 1 or more, not {raw_channels}")
    if not batch_seconds > 0:
        raise ValueError(f"batch_seconds must be positive, not {batch_seconds}")
    files = _expand(paths_or_glob)
    options = dict(detector=detector, channel=channel, stream=stream,
                   raw_rate=raw_rate, raw_channels=raw_channels)
    if not files:
        return _frame([])

    own_client = None
    if isinstance(client, str):
        from distributed import Client
        client = own_client = Client(client, set_as_default=False)
    elif client is None:
        client = _default_client()
    try:
        threads = (sum(client.nthreads().values()) if client is not None
                   else os.cpu_count() or 1)
        batches = _batches(files, batch_seconds, threads)
        if client is not None:
            # Keys of our own: a task that Dask runs again after a worker
            # is lost keeps its key, so its rows are gathered once.
            token = uuid.uuid4().hex
            futures = client.map(_scan_batch, batches,
                                 key=[f"tonescan-scan-{token}-{i}" for i in range(len(batches))],
                                 **options)
            results = client.gather(futures)
        else:
            tasks = [dask.delayed(_scan_batch, pure=False)(batch, **options) for batch in batches]
            results = dask.compute(*tasks, scheduler="threads", num_workers=threads)
    finally:
        if own_client is not None:
            own_client.close()

    return _frame([row for batch_rows in results for row in batch_rows])


def _default_client():
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:
        return None


def _expand(paths_or_glob) -> List[Union[str, bytes]]:
    if isinstance(paths_or_glob, (str, bytes)):
        magic = b"*?[" if isinstance(paths_or_glob, bytes) else "*?["
        if not os.path.lexists(paths_or_glob) and any(c in paths_or_glob for c in magic):
            return sorted(glob.glob(paths_or_glob, recursive=True))
        return [paths_or_glob]
    if isinstance(paths_or_glob, os.PathLike):
        return [os.fspath(paths_or_glob)]
    return [os.fspath(p) for p in paths_or_glob]


def _batches(files: Sequence, batch_seconds: float, threads: int) -> List[list]:
    """Consecutive runs of files, each guessed to take about batch_seconds."""
    costs = [SECONDS_PER_FILE + _size(f) / BYTES_PER_SECOND for f in files]
    budget = min(batch_seconds, sum(costs) / (BATCHES_PER_THREAD * max(threads, 1)))
    batches, batch, spent = [], [], 0.0
    for f, cost in zip(files, costs):
        if batch and spent + cost / 2 > budget:
            batches.append(batch)
            batch, spent = [], 0.0
        batch.append(f)
        spent += cost
    batches.append(batch)
    return batches


def _size(path) -> int:
    # A file that cannot be looked at here still goes to a worker, which
    # reports why it cannot be read.
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _scan_batch(files, **options) -> List[tuple]:
    """Runs on a worker: the batch's rows, as plain tuples."""
    rows = []
    for f in files:
        try:
            presses = tonescan.scan_file(f, **options)
        except (OSError, ValueError) as error:
            # ValueError: what the file holds is out of range (its rate,
            # no such channel in it); the other files are still scanned.
            # A file that breaks off keeps the presses before the fault.
            for p in getattr(error, "presses", ()):
                rows.append((f, p.key, p.start, p.end, p.start_sample, p.end_sample,
                             p.low_dbfs, p.high_dbfs, None))
            rows.append((f, None, math.nan, math.nan, None, None, math.nan, math.nan,
                         _reason(error)))
            continue
        for p in presses:
            rows.append((f, p.key, p.start, p.end, p.start_sample, p.end_sample,
                         p.low_dbfs, p.high_dbfs, None))
    return rows


def _reason(error: Exception) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _frame(rows: list) -> pandas.DataFrame:
    columns = list(zip(*rows)) or [()] * len(COLUMNS)
    return pandas.DataFrame({name: pandas.array(values, dtype=_TYPES.get(name, object))
                             for name, values in zip(COLUMNS, columns)})
