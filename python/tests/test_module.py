"""tonescan against dtmf-scan, across sample types, layouts, chunkings and threads."""

import math
import os
import threading
import time

import numpy as np
import pytest

import tonescan
from conftest import as_tool_prints, dtmf_scan, key_plan, random_keys, timing, tool, write_wav

# rate, channels, tones in (None: every channel), channel scanned, detector
PLANS = [
    (8000, 1, None, None, "recording"),
    (11025, 1, None, None, "recording"),
    (16000, 2, None, None, "recording"),
    (44100, 2, 2, 2, "recording"),
    (48000, 2, None, 1, "recording"),
    (8000, 1, None, None, "library"),
    (22050, 2, 1, 1, "library"),
]


@pytest.mark.parametrize("rate,channels,tones_in,channel,detector", PLANS)
def test_presses_equal_dtmf_scan(tmp_path, rate, channels, tones_in, channel, detector):
    frames, keys = key_plan(rate, random_keys(rate + channels), seed=rate, channels=channels, tone_channel=tones_in,
                            **timing(detector))
    path = tmp_path / "plan.wav"
    write_wav(path, frames, rate)
    args = [f"--detector={detector}"] + ([f"--channel={channel}"] if channel else [])
    expected = dtmf_scan(path, *args)
    with_end = detector == "recording"

    from_file = tonescan.scan_file(path, detector=detector, channel=channel)
    assert as_tool_prints(from_file, with_end) == expected
    assert "".join(p.key for p in from_file) == keys

    import soundfile

    samples, file_rate = soundfile.read(str(path), dtype="int16", always_2d=True)
    from_array = tonescan.scan(samples if channels > 1 else samples[:, 0], file_rate, channel=channel, detector=detector)
    assert from_array == from_file
    for press in from_array:
        assert press.start == pytest.approx(press.start_sample / rate, abs=2e-4)
        assert press.end > press.start
        assert math.isnan(press.low_dbfs) == (detector == "library")


def layouts(frames):
    """The same frames in every accepted type and layout, by name; each
    group's first is its reference."""
    int16 = np.round(frames * 32767).astype(np.int16)
    float32 = frames.astype(np.float32)
    wide = np.zeros((frames.shape[0] * 2, frames.shape[1] + 2), dtype=np.float32)
    wide[::2, 1:-1] = float32
    return {
        "int16": [
            ("int16", int16),
            ("int16 fortran", np.asfortranarray(int16)),
            ("int16 reversed twice", int16[::-1][::-1]),
            ("int16 strided copy", np.repeat(int16, 3, axis=0)[1::3]),
        ],
        "float": [
            ("float32", float32),
            ("float64", float32.astype(np.float64)),
            ("float64 fortran", np.asfortranarray(float32.astype(np.float64))),
            ("float32 fortran", np.asfortranarray(float32)),
            ("float32 slice of a wider array", wide[::2, 1:-1]),
        ],
    }


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("detector", ["recording", "library"])
def test_every_type_and_layout_gives_the_same_presses(channels, detector):
    rate = 16000
    frames, keys = key_plan(rate, random_keys(channels), seed=3, channels=channels, **timing(detector))
    for group, arrays in layouts(frames).items():
        reference = None
        for name, array in arrays:
            if channels == 1:
                array = array[:, 0]
            presses = tonescan.scan(array, rate, detector=detector)
            if reference is None:
                reference = presses
                assert "".join(p.key for p in presses) == keys, name
            assert presses == reference, f"{group}: {name}"


@pytest.mark.parametrize("seed", range(4))
def test_pieces_of_any_size_equal_one_feed(seed):
    rng = np.random.default_rng(seed)
    rate = int(rng.choice([8000, 16000, 44100]))
    channels = int(rng.integers(1, 3))
    frames, _ = key_plan(rate, random_keys(seed, 20), seed=seed, channels=channels)
    samples = frames.astype(np.float32) if seed % 2 else np.round(frames * 32767).astype(np.int16)
    if channels == 1:
        samples = samples[:, 0]
    whole = tonescan.scan(samples, rate)

    detector = tonescan.Detector(rate, channels)
    presses = []
    first = 0
    while first < len(samples):
        size = int(rng.choice([0, 1, 7, 160, 4099, 50000]))
        presses += detector.feed(samples[first : first + size])
        first += size
    presses += detector.flush()
    assert presses == whole

    detector.reset()
    assert detector.feed(samples) + detector.flush() == whole


def test_a_feed_finding_more_presses_than_the_queue_holds_loses_none():
    rate = 4000
    frames, keys = key_plan(rate, random_keys(9, 2500), seed=9)
    presses = tonescan.scan(frames.astype(np.float32)[:, 0], rate)
    assert "".join(p.key for p in presses) == keys


def test_flush_ends_a_press_still_going_and_ends_the_stream():
    rate = 8000
    t = np.arange(rate // 5) / rate
    tone = (0.3 * np.sin(2 * np.pi * 852 * t) + 0.3 * np.sin(2 * np.pi * 1477 * t)).astype(np.float32)
    detector = tonescan.Detector(rate)
    assert detector.feed(tone) == []
    (press,) = detector.flush()
    assert press.key == "9" and press.end_sample == len(tone)
    with pytest.raises(ValueError):
        detector.feed(tone)


def test_press_is_a_frozen_value():
    press = tonescan.scan(key_plan(8000, "5", seed=1)[0][:, 0], 8000)[0]
    with pytest.raises(AttributeError):
        press.key = "6"
    assert {press, press} == {press}
    assert "key='5'" in repr(press)


def make_truncated(path):
    frames, _ = key_plan(8000, "123", seed=5)
    write_wav(path, frames, 8000)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


def make_text(path):
    path.write_text("not audio at all\n" * 100)


mono = np.zeros(8000, dtype=np.int16)

# what is called, the exception expected
BAD_ARGUMENTS = [
    ("rate too low", lambda: tonescan.Detector(3999)),
    ("rate too high", lambda: tonescan.scan(mono, 192001)),
    ("no such channel", lambda: tonescan.Detector(8000, channels=2, channel=3)),
    ("channel 0", lambda: tonescan.scan(mono, 8000, channel=0)),
    ("no channels", lambda: tonescan.Detector(8000, channels=0)),
    ("detector name", lambda: tonescan.Detector(8000, detector="blocks")),
    ("int32", lambda: tonescan.scan(mono.astype(np.int32), 8000)),
    ("uint8", lambda: tonescan.scan(mono.astype(np.uint8), 8000)),
    ("big-endian int16", lambda: tonescan.scan(mono.astype(">i2"), 8000)),
    ("3-D", lambda: tonescan.scan(mono.reshape(100, 10, 8), 8000)),
    ("0-D", lambda: tonescan.Detector(8000).feed(np.array(1.0))),
    ("list", lambda: tonescan.scan([0, 1, 2], 8000)),
    ("channels mismatch", lambda: tonescan.Detector(8000, channels=2).feed(mono)),
    ("2-D into mono", lambda: tonescan.Detector(8000).feed(mono.reshape(4000, 2))),
    ("redact fill", lambda: tonescan.redact(mono, 8000, fill="pink")),
    ("redact guard", lambda: tonescan.redact(mono, 8000, guard_ms=1001)),
    ("redact rate", lambda: tonescan.redact(mono, 100)),
    ("redact int32", lambda: tonescan.redact(mono.astype(np.int32), 8000)),
    ("scan_file detector", lambda: tonescan.scan_file("x.wav", detector="fast")),
    ("scan_file raw_rate", lambda: tonescan.scan_file("x.raw", raw_rate=1000)),
    ("scan_file threads", lambda: tonescan.scan_file("x.wav", threads=0)),
]


@pytest.mark.parametrize("name,call", BAD_ARGUMENTS, ids=[name for name, _ in BAD_ARGUMENTS])
def test_bad_arguments_raise_value_error(name, call):
    with pytest.raises(ValueError):
        call()


def test_a_stream_keeps_its_sample_kind():
    detector = tonescan.Detector(8000)
    detector.feed(mono)
    with pytest.raises(ValueError, match="one kind"):
        detector.feed(mono.astype(np.float32))
    detector.reset()
    detector.feed(mono.astype(np.float32))


# how the file is made (None: not at all), the OSError subclass, its errno
# (None: not known), words of the message
BAD_FILES = [
    ("missing", None, FileNotFoundError, 2, "No such file"),
    ("truncated", make_truncated, OSError, None, "file is truncated"),
    ("text", make_text, OSError, None, "not a readable audio file"),
    ("folder", lambda path: path.mkdir(), IsADirectoryError, 21, "directory"),
]


@pytest.mark.parametrize("name,make,error,errno,words", BAD_FILES, ids=[row[0] for row in BAD_FILES])
def test_unreadable_files_raise_os_error_naming_the_file(tmp_path, name, make, error, errno, words):
    path = tmp_path / f"{name}.wav"
    if make:
        make(path)
    with pytest.raises(error) as raised:
        tonescan.scan_file(path)
    assert raised.value.filename == str(path)
    assert raised.value.errno == errno
    assert words in raised.value.strerror


def test_a_file_cut_short_keeps_the_presses_before_the_fault(tmp_path):
    frames, keys = key_plan(8000, "123456", seed=5)
    path = tmp_path / "cut.wav"
    write_wav(path, frames, 8000)
    whole = tonescan.scan_file(path)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) * 2 // 3])
    with pytest.raises(OSError, match="truncated") as raised:
        tonescan.scan_file(path)
    # The last is the press that the cut ended.
    before = raised.value.presses
    assert 0 < len(before) < len(keys)
    assert before[:-1] == whole[: len(before) - 1]
    assert before[-1].key == whole[len(before) - 1].key
    assert before[-1].end <= whole[len(before) - 1].end


def test_a_channel_the_file_lacks_is_a_value_error(tmp_path):
    path = tmp_path / "mono.wav"
    write_wav(path, key_plan(8000, "1", seed=1)[0], 8000)
    with pytest.raises(ValueError):
        tonescan.scan_file(path, channel=2)


def test_scan_file_takes_bytes_paths_and_raw_pcm(tmp_path):
    frames, keys = key_plan(8000, "147*", seed=4)
    raw = tmp_path / "plan.raw"
    raw.write_bytes(np.round(frames[:, 0] * 32767).astype("<i2").tobytes())
    presses = tonescan.scan_file(os.fsencode(raw), raw_rate=8000)
    assert "".join(p.key for p in presses) == keys
    assert presses == tonescan.scan(np.round(frames[:, 0] * 32767).astype(np.int16), 8000)

    wav = tmp_path / "plan.wav"
    write_wav(wav, frames, 8000)
    with pytest.warns(RuntimeWarning, match="header"):
        assert tonescan.scan_file(wav, raw_rate=16000) == tonescan.scan_file(wav)


@pytest.mark.parametrize("dtype", [np.int16, np.float32, np.float64])
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("fill", ["silence", "noise"])
def test_redact_removes_the_keys_and_keeps_the_rest(dtype, channels, fill):
    rate = 8000
    frames, keys = key_plan(rate, random_keys(7), seed=7, channels=channels, noise=0.01)
    samples = np.round(frames * 32767).astype(dtype) if dtype == np.int16 else frames.astype(dtype)
    if channels == 1:
        samples = samples[:, 0]
    masked, spans = tonescan.redact(samples, rate, fill=fill)
    assert masked.dtype == samples.dtype and masked.shape == samples.shape
    assert [s.key for s in spans if s.press] == list(keys)
    assert tonescan.scan(masked, rate) == []
    outside = np.ones(len(samples), dtype=bool)
    for span in spans:
        assert span.start == pytest.approx(span.start_sample / rate)
        outside[span.start_sample : span.end_sample] = False
    assert masked[outside].tobytes() == samples[outside].tobytes()
    assert not np.array_equal(masked[~outside], samples[~outside])


# container, subtype, channels
FILE_FORMATS = [
    ("WAV", "PCM_16", 1),
    ("WAV", "PCM_24", 2),
    ("WAV", "PCM_32", 1),
    ("WAV", "FLOAT", 2),
    ("WAV", "DOUBLE", 1),
    ("WAV", "ULAW", 1),
    ("FLAC", "PCM_16", 2),
    ("AIFF", "PCM_24", 1),
]


@pytest.mark.parametrize("container,subtype,channels", FILE_FORMATS)
def test_redact_file_keeps_the_format_and_every_sample_outside_the_spans(tmp_path, container, subtype, channels):
    import soundfile

    rate = 16000
    frames, keys = key_plan(rate, random_keys(11), seed=11, channels=channels, noise=0.01)
    src = tmp_path / f"in.{container.lower()}"
    dst = tmp_path / f"out.{container.lower()}"
    write_wav(src, frames, rate, subtype=subtype, format=container)
    before = src.read_bytes()

    spans = tonescan.redact_file(src, dst)

    assert src.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == sorted([src.name, dst.name])
    source, target = soundfile.info(str(src)), soundfile.info(str(dst))
    assert (target.format, target.subtype, target.samplerate, target.channels, target.frames) == (
        source.format, source.subtype, source.samplerate, source.channels, source.frames)
    assert [s.key for s in spans if s.press] == list(keys)
    assert tonescan.scan_file(dst) == []
    dtype = "float64" if subtype == "DOUBLE" else "int32" if subtype in ("PCM_24", "PCM_32") else "float32"
    if subtype in ("PCM_16", "ULAW"):
        dtype = "int16"
    original, _ = soundfile.read(str(src), dtype=dtype, always_2d=True)
    masked, _ = soundfile.read(str(dst), dtype=dtype, always_2d=True)
    outside = np.ones(len(original), dtype=bool)
    for span in spans:
        outside[span.start_sample : span.end_sample] = False
    assert masked[outside].tobytes() == original[outside].tobytes()


# subtype, guard_ms, fill
REDACT_TOOL_CASES = [("PCM_16", 20, "silence"), ("PCM_24", 0, "silence"), ("FLOAT", 50, "silence")]


@pytest.mark.parametrize("subtype,guard_ms,fill", REDACT_TOOL_CASES)
def test_redact_file_writes_what_dtmf_redact_writes(tmp_path, subtype, guard_ms, fill):
    import subprocess

    import soundfile

    frames, _ = key_plan(8000, random_keys(13), seed=13, channels=2, noise=0.01)
    src = tmp_path / "in.wav"
    write_wav(src, frames, 8000, subtype=subtype)
    tool_out = tmp_path / "tool.wav"
    subprocess.run([tool("DTMF_REDACT"), f"--guard={guard_ms}", f"--fill={fill}", str(src), str(tool_out)], check=True,
                   capture_output=True)
    tonescan.redact_file(src, tmp_path / "module.wav", guard_ms=guard_ms, fill=fill)
    by_tool, _ = soundfile.read(str(tool_out), dtype="int32")
    by_module, _ = soundfile.read(str(tmp_path / "module.wav"), dtype="int32")
    assert by_module.tobytes() == by_tool.tobytes()


def test_redact_file_in_place_and_failures_leave_nothing_behind(tmp_path):
    frames, _ = key_plan(8000, "12", seed=2)
    path = tmp_path / "call.wav"
    write_wav(path, frames, 8000)
    assert [s.key for s in tonescan.redact_file(path, path) if s.press] == ["1", "2"]
    assert tonescan.scan_file(path) == []

    text = tmp_path / "notes.wav"
    make_text(text)
    with pytest.raises(OSError) as raised:
        tonescan.redact_file(text, tmp_path / "out.wav")
    assert raised.value.filename == str(text)
    with pytest.raises(FileNotFoundError):
        tonescan.redact_file(tmp_path / "missing.wav", tmp_path / "out.wav")
    with pytest.raises(OSError):
        tonescan.redact_file(path, tmp_path / "no" / "such" / "folder.wav")
    assert sorted(os.listdir(tmp_path)) == ["call.wav", "notes.wav"]


def test_threads_scanning_at_once_get_what_one_thread_gets(tmp_path):
    plans = []
    for seed in range(4):
        frames, _ = key_plan(16000, random_keys(seed + 20, 30), seed=seed + 20, channels=2)
        path = tmp_path / f"{seed}.wav"
        write_wav(path, frames, 16000)
        plans.append((path, frames.astype(np.float32)))
    expected = [(tonescan.scan_file(path), tonescan.scan(array, 16000)) for path, array in plans]

    results = [None] * len(plans)
    failures = []

    def work(index):
        try:
            path, array = plans[index]
            results[index] = [(tonescan.scan_file(path), tonescan.scan(array, 16000)) for _ in range(5)]
        except Exception as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(plans))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for index, runs in enumerate(results):
        assert runs == [expected[index]] * 5


def test_the_gil_is_released_while_a_feed_runs():
    rate = 48000
    frames, _ = key_plan(rate, random_keys(5, 40), seed=5, channels=2)
    samples = np.asfortranarray(np.tile(frames, (4, 1)))  # float64 in Fortran order: gathered, converted, fed
    calls = []  # (start, end) of each feed, from the feeding thread
    done = threading.Event()

    def feed():
        detector = tonescan.Detector(rate, 2)
        for _ in range(20):
            start = time.monotonic()
            detector.feed(samples)
            calls.append((start, time.monotonic()))
        done.set()

    thread = threading.Thread(target=feed)
    stamps = []
    thread.start()
    while not done.is_set():
        stamps.append(time.monotonic())
        time.sleep(0.0001)
    thread.join()
    # A feed holding the GIL would let this thread run only between calls:
    # none of its stamps would fall inside the middle of a call.
    stamps = np.array(stamps)
    inside = 0
    for start, end in calls:
        quarter = (end - start) / 4
        inside += np.count_nonzero((stamps > start + quarter) & (stamps < end - quarter))
    assert inside > 0


def test_version_is_the_library_s():
    assert tonescan.__version__.count(".") == 2
    assert tonescan.__version__ == tonescan._tonescan.__version__


def test_the_examples_in_the_docstrings_and_the_stub_run():
    import ast
    import doctest

    import tonescan._types

    flags = doctest.ELLIPSIS
    failures = doctest.testmod(tonescan, optionflags=flags).failed + doctest.testmod(tonescan._types).failed
    stub = os.path.join(os.path.dirname(tonescan.__file__), "__init__.pyi")
    with open(stub) as file:
        tree = ast.parse(file.read())
    runner = doctest.DocTestRunner(optionflags=flags)
    parser = doctest.DocTestParser()
    for node in ast.walk(tree):
        docstring = ast.get_docstring(node) if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) else None
        if docstring:
            runner.run(parser.get_doctest(docstring, {}, getattr(node, "name", "stub"), stub, 0))
    assert runner.tries > 5
    assert failures + runner.failures == 0


def test_the_extension_exports_its_entry_point_alone():
    import shutil
    import subprocess

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", tonescan._tonescan.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit__tonescan"]


def test_importing_the_module_imports_no_optional_package():
    import subprocess
    import sys

    check = "import sys, tonescan; print(sorted(m for m in ('matplotlib', 'dask', 'pandas', 'soundfile') if m in sys.modules))"
    result = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"
