"""What the Python module costs over the C push API: tonescan.scan on one
hour of int16 audio at 8000/s beside libtonescan's detector fed the same
samples in one call through ctypes, best of several alternating runs.

    PYTHONPATH=BUILD/python python3 bench/python_scan.py BUILD/tonescan/libtonescan.so.0 [RUNS]

Prints a Markdown table: milliseconds for each and their ratio (goal: the
module at most 1.2 times the C API).
"""

import ctypes
import sys
import time

import numpy as np

import tonescan

RATE = 8000


class DetectorSettings(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("rate", ctypes.c_int32), ("channels", ctypes.c_int32),
                ("channel", ctypes.c_int32), ("detector", ctypes.c_int32), ("queue", ctypes.c_int32)]


class CPress(ctypes.Structure):
    _fields_ = [("start", ctypes.c_int64), ("end", ctypes.c_int64), ("start_us", ctypes.c_int64),
                ("end_us", ctypes.c_int64), ("low_dbfs", ctypes.c_float), ("high_dbfs", ctypes.c_float),
                ("key", ctypes.c_char)]


def load(path):
    lib = ctypes.CDLL(path)
    lib.tonescan_detector_create.restype = ctypes.c_void_p
    lib.tonescan_detector_create.argtypes = [ctypes.POINTER(DetectorSettings), ctypes.POINTER(ctypes.c_int)]
    lib.tonescan_detector_feed_i16.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                               ctypes.POINTER(ctypes.c_size_t)]
    lib.tonescan_detector_take.argtypes = [ctypes.c_void_p, ctypes.POINTER(CPress), ctypes.c_size_t]
    lib.tonescan_detector_take.restype = ctypes.c_size_t
    lib.tonescan_detector_finish.argtypes = [ctypes.c_void_p]
    lib.tonescan_detector_destroy.argtypes = [ctypes.c_void_p]
    return lib


def one_hour():
    """A key every 2 s (100 ms of 770 + 1336 Hz) in light noise."""
    t = np.arange(RATE // 10) / RATE
    tone = 6000 * np.sin(2 * np.pi * 770 * t) + 6000 * np.sin(2 * np.pi * 1336 * t)
    period = np.concatenate([np.zeros(RATE // 2), tone, np.zeros(2 * RATE - RATE // 2 - tone.size)])
    audio = np.tile(period, 1800) + np.random.default_rng(1).normal(0, 300, 1800 * period.size)
    return audio.astype(np.int16)


def c_push(lib, audio):
    """The push API as a C host uses it: one feed, presses taken whenever the queue fills."""
    settings = DetectorSettings(ctypes.sizeof(DetectorSettings), RATE, 1, 0, 0, 1024)
    error = ctypes.c_int()
    detector = lib.tonescan_detector_create(ctypes.byref(settings), ctypes.byref(error))
    if not detector:
        raise RuntimeError(f"tonescan_detector_create: {error.value}")
    presses = (CPress * 64)()
    found = 0
    at, left, consumed = audio.ctypes.data, audio.size, ctypes.c_size_t()
    while True:
        result = lib.tonescan_detector_feed_i16(detector, at, left, ctypes.byref(consumed))
        while (taken := lib.tonescan_detector_take(detector, presses, 64)) > 0:
            found += taken
        if result == 0:
            break
        at += consumed.value * 2
        left -= consumed.value
    lib.tonescan_detector_finish(detector)
    found += lib.tonescan_detector_take(detector, presses, 64)
    lib.tonescan_detector_destroy(detector)
    return found


def main():
    lib = load(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    audio = one_hour()
    best = {"C push API": float("inf"), "tonescan.scan": float("inf")}
    counts = {}
    for _ in range(runs):
        for name, scan in (("C push API", lambda: c_push(lib, audio)),
                           ("tonescan.scan", lambda: len(tonescan.scan(audio, RATE)))):
            started = time.perf_counter()
            counts[name] = scan()
            best[name] = min(best[name], time.perf_counter() - started)
    if counts["C push API"] != counts["tonescan.scan"]:
        sys.exit(f"python_scan: the module found {counts['tonescan.scan']} presses, the C API {counts['C push API']}")
    print(f"one hour of int16 at {RATE}/s, {counts['C push API']} presses, best of {runs}\n")
    print("| what | ms | vs the C push API |\n|---|---:|---:|")
    for name, seconds in best.items():
        print(f"| {name} | {seconds * 1000:.1f} | {seconds / best['C push API']:.2f} |")
    print()


if __name__ == "__main__":
    main()
