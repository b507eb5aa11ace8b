#!/usr/bin/env python3
"""Times tonescan.dask.scan_files on generated key plans with one and with
two dask-worker processes (one thread each, no nanny) on 127.0.0.1, and with
two of which one is killed (SIGKILL) once a quarter of the batches are done.

    PYTHONPATH=build/python bench/python_dask.py [--files N] [--seconds S] [--runs R]

Prints one line per figure, "what<TAB>value": the median wall seconds of R
runs after one that warms the workers and the page cache, with the workers'
CPU seconds beside them (on a busy machine the wall time grows, the CPU time
much less), and the ratio of one worker's time to two workers'. The files
are minutes long because the scan is cheap (about 0.04 CPU seconds per hour
of 8000/s audio): with seconds-long files Dask's own costs per run would be
most of what is timed. Exits 3 when Dask is missing.
"""

import argparse
import json
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import wave

try:
    import distributed
    import numpy as np
    import tonescan.dask
except ImportError as missing:
    print(f"python_dask: skipped, {missing}", file=sys.stderr)
    sys.exit(3)

KEYS = "123A456B789C*0#D"
LOW = (697, 770, 852, 941)
HIGH = (1209, 1336, 1477, 1633)
TIMEOUT = 600.0


def wait_for(condition, what, step=0.01):
    end = time.monotonic() + TIMEOUT
    while not (value := condition()):
        if time.monotonic() > end:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(step)
    return value


def make_files(folder, count, seconds, rate=8000):
    """Each file: keys of 100 ms with 150 ms between, then noise to `seconds`."""
    rng = np.random.default_rng(1)
    t = np.arange(int(0.1 * rate)) / rate
    gap = np.zeros(int(0.15 * rate))
    tones = {}
    for i, key in enumerate(KEYS):
        row, column = divmod(i, 4)
        tones[key] = 0.158 * (np.sin(2 * np.pi * LOW[row] * t) + np.sin(2 * np.pi * HIGH[column] * t))
    noise = 0.01 * rng.standard_normal(int(seconds * rate))
    paths = []
    for i in range(count):
        parts = [gap]
        for key in rng.choice(list(KEYS), size=4):
            parts += [tones[key], gap]
        plan = np.concatenate(parts)
        audio = noise.copy()
        audio[:len(plan)] += plan
        path = str(folder / f"call-{i:05d}.wav")
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(rate)
            w.writeframes((audio * 32767).astype("<i2").tobytes())
        paths.append(path)
    return paths


class Cluster:
    def __init__(self, folder, workers):
        self.folder = folder
        self.processes = []
        scheduler_file = str(folder / "scheduler.json")
        self._spawn("distributed.cli.dask_scheduler", "--scheduler-file", scheduler_file, "--host", "127.0.0.1",
                    "--port", "0", "--no-dashboard", "--idle-timeout", "900")
        for _ in range(workers):
            self._spawn("distributed.cli.dask_worker", "--scheduler-file", scheduler_file, "--host", "127.0.0.1",
                        "--nthreads", "1", "--no-nanny", "--no-dashboard", "--death-timeout", "60",
                        "--local-directory", str(folder / "workers"))

        def address():
            try:
                return json.loads(pathlib.Path(scheduler_file).read_text()).get("address")
            except (OSError, ValueError):
                return None
        self.client = distributed.Client(wait_for(address, "the scheduler"), set_as_default=False,
                                         timeout=TIMEOUT)
        self.client.wait_for_workers(workers, timeout=TIMEOUT)

    def _spawn(self, module, *args):
        self.processes.append(subprocess.Popen([sys.executable, "-m", module, *args], stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                               start_new_session=True))

    def close(self):
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


def timed(client, paths):
    """Wall seconds of one scan_files, the workers' CPU seconds, the frame."""
    cpu = client.run(time.process_time)
    start = time.perf_counter()
    frame = tonescan.dask.scan_files(paths, client)
    wall = time.perf_counter() - start
    cpu = sum(spent - cpu[worker] for worker, spent in client.run(time.process_time).items())
    return wall, cpu, frame


def batches_done(dask_scheduler):
    done, total = {}, 0
    for key, task in dask_scheduler.tasks.items():
        if isinstance(key, str) and key.startswith("tonescan-scan-"):
            total += 1
            if task.state == "memory":
                for worker in task.who_has:
                    done[worker.address] = done.get(worker.address, 0) + 1
    return done, total


def killing_one(cluster, paths):
    """scan_files on two workers, one killed when a quarter is done."""
    client = cluster.client
    pids = client.run(os.getpid)
    result = {}
    job = threading.Thread(target=lambda: result.update(frame=tonescan.dask.scan_files(paths, client)))
    start = time.perf_counter()
    job.start()

    def quarter():
        done, total = client.run_on_scheduler(batches_done)
        return (total and sum(done.values()) >= total // 4 and done) or not job.is_alive()
    done = wait_for(quarter, "a quarter of the batches")
    killed = isinstance(done, dict)
    if killed:
        os.kill(pids[max(done, key=done.get)], signal.SIGKILL)
    job.join(TIMEOUT)
    return time.perf_counter() - start, result.get("frame"), killed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=60.0, help="audio per file")
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tonescan-bench-") as name:
        folder = pathlib.Path(name)
        paths = make_files(folder, options.files, options.seconds)
        figures, frames = {}, {}
        for workers in (1, 2):
            cluster = Cluster(folder, workers)
            try:
                tonescan.dask.scan_files(paths, cluster.client)
                runs = [timed(cluster.client, paths) for _ in range(options.runs)]
                figures[workers] = [statistics.median(run[i] for run in runs) for i in (0, 1)]
                frames[workers] = runs[-1][2]
                if workers == 2:
                    seconds, frame, killed = killing_one(cluster, paths)
            finally:
                cluster.close()
        same = frames[1].equals(frames[2]) and frame is not None and frame.equals(frames[1])
        presses = int(frames[1].error.isna().sum())
        hours = options.files * options.seconds / 3600
        print(f"files\t{options.files} of {options.seconds:g} s ({hours:.1f} h, {presses} presses)")
        print(f"one worker (s)\t{figures[1][0]:.2f} (cpu {figures[1][1]:.2f})")
        print(f"two workers (s)\t{figures[2][0]:.2f} (cpu {figures[2][1]:.2f})")
        print(f"two workers over one (x)\t{figures[1][0] / figures[2][0]:.2f}")
        print(f"two workers, one killed at a quarter (s)\t{seconds:.2f}" + ("" if killed else " (finished first)"))
        print(f"same presses every way\t{'yes' if same else 'NO'}")
        if not same:
            print("python_dask: the runs found different presses", file=sys.stderr)
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
