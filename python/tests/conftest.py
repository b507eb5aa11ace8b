"""Test signals and the dtmf-scan oracle shared by the module's tests."""

import json
import os
import subprocess

import numpy as np
import pytest

# Each key's tone pair (low, high) in Hz.
KEY_TONES = {
    "1": (697, 1209), "2": (697, 1336), "3": (697, 1477), "A": (697, 1633),
    "4": (770, 1209), "5": (770, 1336), "6": (770, 1477), "B": (770, 1633),
    "7": (852, 1209), "8": (852, 1336), "9": (852, 1477), "C": (852, 1633),
    "*": (941, 1209), "0": (941, 1336), "#": (941, 1477), "D": (941, 1633),
}
KEYS = "".join(KEY_TONES)

# What the "library" detector hears whole at any alignment: two of its
# 62.5 ms blocks of tone and of pause.
LIBRARY_TIMING = {"tone_s": (0.13, 0.2), "gap_s": (0.13, 0.2)}


def timing(detector):
    return LIBRARY_TIMING if detector == "library" else {}


def key_plan(rate, keys, seed, channels=1, tone_channel=None, noise=0.003, tone_s=(0.05, 0.15), gap_s=(0.06, 0.15)):
    """Float64 frames (frames, channels) holding `keys` as tones of 50-150 ms
    with gaps of 60-150 ms (or as given), in noise; the tones in every
    channel or only in `tone_channel` (1-based). Returns the frames and the
    keys."""
    rng = np.random.default_rng(seed)
    pieces = [np.zeros(int(0.1 * rate))]
    for key in keys:
        low, high = KEY_TONES[key]
        n = int(rate * rng.uniform(*tone_s))
        t = np.arange(n) / rate
        level = rng.uniform(0.1, 0.3)
        pieces.append(level * (np.sin(2 * np.pi * low * t + rng.uniform(0, 6)) + np.sin(2 * np.pi * high * t)))
        pieces.append(np.zeros(int(rate * rng.uniform(*gap_s))))
    pieces.append(np.zeros(int(0.1 * rate)))
    mono = np.concatenate(pieces)
    frames = rng.normal(0, noise, (mono.size, channels))
    if tone_channel is None:
        frames += mono[:, None]
    else:
        frames[:, tone_channel - 1] += mono
    return frames, keys


def random_keys(seed, count=12):
    rng = np.random.default_rng(seed)
    return "".join(rng.choice(list(KEYS), count))


def write_wav(path, frames, rate, subtype="PCM_16", format=None):
    soundfile = pytest.importorskip("soundfile")
    soundfile.write(str(path), frames, rate, subtype=subtype, format=format)


def tool(name):
    path = os.environ.get(name)
    if not path:
        pytest.skip(f"{name} is not set (ctest sets it)")
    return path


def dtmf_scan(path, *args):
    """dtmf-scan --json's presses as (key, start ms, end ms or None)."""
    result = subprocess.run([tool("DTMF_SCAN"), "--json", *args, str(path)], capture_output=True, text=True, check=True)
    presses = []
    for line in result.stdout.splitlines():
        record = json.loads(line)
        if "key" in record and "time" in record:
            end = record.get("end")
            presses.append((record["key"], round(record["time"] * 1000), None if end is None else round(end * 1000)))
    return presses


def as_tool_prints(presses, with_end=True):
    """Presses as dtmf_scan() gives them: milliseconds rounded as the tool rounds."""

    def ms(seconds):
        return (round(seconds * 1e6) + 500) // 1000

    return [(p.key, ms(p.start), ms(p.end) if with_end else None) for p in presses]
