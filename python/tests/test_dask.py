"""tonescan.dask.scan_files on a real cluster: a dask-scheduler and two
dask-worker processes on 127.0.0.1, 2,000 generated key plans, and
dtmf-scan --json on the same files as the oracle."""

import concurrent.futures
import errno
import io
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import wave

import pytest

distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")

import tonescan.dask  # noqa: E402

FILES = 2000
DEADLINE = 120.0
KEYS = "123A456B789C*0#D"
LOW = (697, 770, 852, 941)
HIGH = (1209, 1336, 1477, 1633)


def wait_for(condition, what, timeout=DEADLINE, step=0.02):
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(step)


def key_plan(keys, rate, channels):
    """Each key 100 ms at -16 dBFS per tone, 150 ms of silence around each."""
    t = np.arange(int(0.1 * rate)) / rate
    gap = np.zeros(int(0.15 * rate))
    parts = [gap]
    for key in keys:
        row, column = divmod(KEYS.index(key), 4)
        parts += [0.316 * (np.sin(2 * np.pi * LOW[row] * t) + np.sin(2 * np.pi * HIGH[column] * t)), gap]
    mono = (np.concatenate(parts) * 32767 * 0.5).astype("<i2")
    return np.repeat(mono[:, None], channels, axis=1)


def wav_bytes(samples, rate):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(samples.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())
    return out.getvalue()


@pytest.fixture(scope="module")
def archive():
    """2,000 key plans (every 50th at 16000/s stereo), a truncated WAV, a
    text file named .wav and a name with no file; their plans by name."""
    with tempfile.TemporaryDirectory(prefix="tonescan-dask-") as name:
        yield make_archive(pathlib.Path(name))


def make_archive(folder):
    rng = np.random.default_rng(7)
    paths, plans = [], {}
    for i in range(FILES):
        keys = "".join(rng.choice(list(KEYS), size=4))
        rate, channels = (16000, 2) if i % 50 == 0 else (8000, 1)
        path = str(folder / f"call-{i:04d}.wav")
        with open(path, "wb") as f:
            f.write(wav_bytes(key_plan(keys, rate, channels), rate))
        paths.append(path)
        plans[path] = keys
    truncated = str(folder / "truncated.wav")
    with open(truncated, "wb") as f:
        f.write(wav_bytes(key_plan("123", 8000, 1), 8000)[:3000])
    text = str(folder / "notes.wav")
    with open(text, "w") as f:
        f.write("not audio at all\n" * 10)
    missing = str(folder / "gone.wav")
    for bad, where in ((truncated, 700), (text, 1300), (missing, 1900)):
        paths.insert(where, bad)
    return folder, paths, plans, {truncated, text, missing}


def dtmf_scan(paths, folder, *options):
    if not os.environ.get("DTMF_SCAN"):
        pytest.skip("DTMF_SCAN is not set (ctest sets it)")
    listing = folder / "listing.txt"
    listing.write_text("".join(p + "\n" for p in paths))
    run = subprocess.run([os.environ["DTMF_SCAN"], "--json", "-q", *options, f"--files-from={listing}"],
                         capture_output=True, text=True, timeout=DEADLINE)
    assert run.returncode in (0, 1), run.stderr
    presses, errors = [], {}
    for line in run.stdout.splitlines():
        row = json.loads(line)
        if "error" in row:
            errors[row["file"]] = row["error"]
        elif "key" in row:
            presses.append((row["file"], row["key"], round(row["time"] * 1000), round(row["end"] * 1000)))
    return presses, errors


def milliseconds(seconds):
    """As dtmf-scan prints times: whole microseconds rounded half up to ms."""
    return (round(seconds * 1e6) + 500) // 1000


def as_oracle(frame):
    ok = frame[frame.error.isna()]
    presses = [(f, k, milliseconds(s), milliseconds(e))
               for f, k, s, e in zip(ok.file, ok.key, ok.start, ok.end)]
    bad = frame[frame.error.notna()]
    return presses, dict(zip(bad.file, bad.error))


@pytest.fixture(scope="module")
def expected(archive):
    folder, paths, plans, bad = archive
    presses, errors = dtmf_scan(paths, folder)
    assert set(errors) == bad
    found = {}
    for f, k, _, _ in presses:
        if f not in errors:
            found[f] = found.get(f, "") + k
    assert found == plans, "the generated plans are not what dtmf-scan hears"
    return presses, errors


class Cluster:
    """A dask-scheduler and dask-worker processes (no nanny, one thread
    each), every one in its own process group."""

    def __init__(self, folder):
        self.folder = folder
        self.scheduler_file = str(folder / "scheduler.json")
        self.processes = []
        self.workers = []
        self.client = None
        # Both also stop on their own should this process die: the
        # scheduler once idle, each worker once the scheduler is gone.
        self._spawn("scheduler", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                    "--port", "0", "--no-dashboard", "--idle-timeout", "300")

    def _spawn(self, name, module, *args):
        log = open(self.folder / f"{name}-{len(self.processes)}.log", "wb")
        process = subprocess.Popen([sys.executable, "-m", module, "--scheduler-file", self.scheduler_file, *args],
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        log.close()
        self.processes.append(process)
        return process

    def connect(self, workers):
        """A client once `workers` workers are up, starting what is missing."""
        self.workers = [w for w in self.workers if w.poll() is None]
        while len(self.workers) < workers:
            self.workers.append(self._spawn("worker", "distributed.cli.dask_worker", "--host", "127.0.0.1",
                                            "--nthreads", "1", "--no-nanny", "--no-dashboard",
                                            "--death-timeout", "60",
                                            "--local-directory", str(self.folder / "workers")))
        if self.client is None:
            def ready():
                try:
                    with open(self.scheduler_file) as f:
                        return json.load(f).get("address")
                except (OSError, ValueError):
                    return None
            self.address = wait_for(ready, "the scheduler's file")
            self.client = distributed.Client(self.address, set_as_default=False, timeout=DEADLINE)
        self.client.wait_for_workers(workers, timeout=DEADLINE)
        wait_for(lambda: len(self.client.nthreads()) == workers, f"{workers} workers")
        return self.client

    def close(self):
        if self.client is not None:
            self.client.close()
        for process in self.processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    started = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        yield started
    finally:
        started.close()


def test_two_workers_find_what_dtmf_scan_finds(archive, expected, cluster):
    client = cluster.connect(2)
    frame = tonescan.dask.scan_files(archive[1], client)
    presses, errors = as_oracle(frame)
    assert presses == expected[0]
    assert errors == expected[1]
    assert list(frame.columns) == list(tonescan.dask.COLUMNS)
    wide = frame[frame.file.str.endswith("call-0050.wav")]
    assert len(wide) == 4
    assert ((wide.start_sample / 16000 - wide.start).abs() < 1e-4).all()


@pytest.mark.parametrize("how", ["local threads", "default client", "address", "glob", "channel 2"])
def test_every_way_to_name_the_cluster_and_the_files(archive, expected, cluster, how, tmp_path):
    folder, paths, _, _ = archive
    some = paths[690:710]
    client = cluster.connect(2)
    if how == "channel 2":
        # Mono files have no second channel: a row each, the rest scanned.
        some = paths[:60]
        frame = tonescan.dask.scan_files(some, client, channel=2)
        presses, errors = as_oracle(frame)
        want_presses, want_errors = dtmf_scan(some, tmp_path, "--channel=2")
        assert presses == want_presses
        assert errors == want_errors
        assert len(presses) == 8 and len(errors) == 58
        return
    if how == "local threads":
        frame = tonescan.dask.scan_files(some)
    elif how == "default client":
        with client.as_current():
            frame = tonescan.dask.scan_files(some)
    elif how == "address":
        frame = tonescan.dask.scan_files(some, cluster.address)
    else:
        some = sorted(p for p in paths if p.startswith(str(folder / "call-001")))
        frame = tonescan.dask.scan_files(str(folder / "call-001?.wav"), client)
    presses, errors = as_oracle(frame)
    assert presses == [p for p in expected[0] if p[0] in some]
    assert errors == {f: e for f, e in expected[1].items() if f in some}


def test_a_worker_killed_midway_loses_nothing(archive, expected, cluster, tmp_path):
    """The last file is a FIFO, so the job cannot end before the test has
    killed a worker that holds finished batches; then the FIFO gets its
    audio, whichever worker reads it."""
    folder, paths, _, _ = archive
    client = cluster.connect(2)
    pids = client.run(os.getpid)
    late = wav_bytes(key_plan("9#1", 8000, 1), 8000)
    copy = tmp_path / "late-copy.wav"
    copy.write_bytes(late)
    late_presses, _ = dtmf_scan([str(copy)], tmp_path)
    fifo = str(tmp_path / "late.wav")
    os.mkfifo(fifo)

    def held_by_worker(dask_scheduler):
        # Defined here to travel by value: the scheduler cannot import tests.
        held, total = {}, 0
        for key, task in dask_scheduler.tasks.items():
            if isinstance(key, str) and key.startswith("tonescan-scan-"):
                total += 1
                if task.state == "memory":
                    for worker in task.who_has:
                        held[worker.address] = held.get(worker.address, 0) + 1
        return held, total

    def some_done():
        held, total = client.run_on_scheduler(held_by_worker)
        return total and sum(held.values()) >= total // 4 and held

    def writer():
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO:
                raise
            return None

    pool = concurrent.futures.ThreadPoolExecutor(1)
    job = pool.submit(tonescan.dask.scan_files, paths + [fifo], client)
    try:
        held = wait_for(some_done, "a quarter of the batches")
        victim = max(held, key=held.get)
        os.kill(pids[victim], signal.SIGKILL)
        wait_for(lambda: victim not in client.nthreads(), "the scheduler to see the worker gone")
        assert not job.done()
    finally:
        # Whatever happened, the job gets the FIFO's audio and can end.
        fd = wait_for(lambda: job.done() or writer(), "a worker to open the FIFO")
        if fd is not True:
            os.set_blocking(fd, True)
            with os.fdopen(fd, "wb") as f:
                f.write(late)
        pool.shutdown(wait=False)
    frame = job.result(timeout=DEADLINE)

    presses, errors = as_oracle(frame)
    assert presses == expected[0] + [(fifo, *p[1:]) for p in late_presses]
    assert errors == expected[1]
    assert len(client.nthreads()) == 1
