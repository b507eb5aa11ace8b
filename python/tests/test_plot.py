"""tonescan.plot and `python3 -m tonescan plot`: the picture shows the key
tones where the presses are, marks each press with its key, and marks the
masked spans of a redacted copy."""

import re
import struct
import subprocess
import sys

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
soundfile = pytest.importorskip("soundfile")

from matplotlib import image, pyplot  # noqa: E402

import tonescan  # noqa: E402
from tonescan.__main__ import main  # noqa: E402

RATE = 8000
TONES = {"1": (697, 1209), "5": (770, 1336), "9": (852, 1477), "#": (941, 1477), "D": (941, 1633)}
# (key, start, end) in seconds.
PLAN = [("1", 0.20, 0.35), ("5", 0.55, 0.70), ("9", 0.90, 1.05), ("#", 1.25, 1.40)]
DURATION = 1.6
# The presses' ends as found stand a few blocks off the plan's.
SLACK_S = 0.04


def key_plan(rate=RATE):
    """The plan as int16: each tone at -13 dBFS over noise at -60 dBFS."""
    t = np.arange(round(DURATION * rate)) / rate
    signal = np.random.default_rng(7).normal(0, 0.001, len(t))
    for key, start, end in PLAN:
        on = (t >= start) & (t < end)
        for frequency in TONES[key]:
            signal[on] += 0.22 * np.sin(2 * np.pi * frequency * t[on])
    return np.round(signal * 32767).astype(np.int16)


@pytest.fixture
def plan_wav(tmp_path):
    path = tmp_path / "plan.wav"
    soundfile.write(path, key_plan(), RATE, subtype="PCM_16")
    return path


@pytest.fixture(autouse=True)
def close_figures():
    yield
    pyplot.close("all")


def marks(ax, kind):
    """(x0, x1) of each shaded span and (x, text) of each label of a kind."""
    spans = []
    for patch in ax.patches:
        if patch.get_gid() == kind:
            extents = patch.get_path().get_extents(patch.get_patch_transform())
            spans.append((extents.x0, extents.x1))
    labels = [(text.get_position()[0], text.get_text()) for text in ax.texts if text.get_gid() == kind]
    return sorted(spans), sorted(labels)


def stereo_in_second(samples):
    """Float32 stereo with the plan in channel 2 and a loud 1100 Hz hum in 1."""
    hum = 0.5 * np.sin(2 * np.pi * 1100 * np.arange(len(samples)) / RATE)
    return np.stack([hum, samples / 32768.0], axis=1).astype(np.float32)


@pytest.mark.parametrize("source", ["path", "int16", "stereo"])
def test_each_press_is_shaded_and_labelled_with_its_key(plan_wav, source):
    if source == "path":
        ax = tonescan.plot(plan_wav)
    elif source == "int16":
        ax = tonescan.plot(key_plan(), RATE)
    else:
        ax = tonescan.plot(stereo_in_second(key_plan()), RATE, channel=2)
    spans, labels = marks(ax, "press")
    assert [text for _, text in labels] == [key for key, _, _ in PLAN]
    assert len(spans) == len(PLAN)
    for (x0, x1), (x, _), (_, start, end) in zip(spans, labels, PLAN):
        assert x0 == pytest.approx(start, abs=SLACK_S)
        assert x1 == pytest.approx(end, abs=SLACK_S)
        assert x0 < x < x1
    if source == "stereo":
        # The picture is of channel 2 too: channel 1's hum is not in it.
        spectrogram = ax.images[0]
        x0, x1, y0, y1 = spectrogram.get_extent()
        levels = np.asarray(spectrogram.get_array())
        row = int((1100 - y0) / (y1 - y0) * levels.shape[0])
        assert np.median(levels[row]) < -50


def test_given_presses_are_drawn_instead_of_scanning():
    press = tonescan.scan(key_plan(), RATE)[2]
    spans, labels = marks(tonescan.plot(key_plan(), RATE, presses=[press]), "press")
    assert spans == [(pytest.approx(press.start), pytest.approx(press.end))]
    assert [text for _, text in labels] == [press.key]


def brightness(picture, ax, seconds, hz):
    """The rendered pixel's R+G+B (0 to 3) at a point of the plot."""
    x, y = ax.transData.transform((seconds, hz))
    return float(picture[picture.shape[0] - 1 - int(round(y)), int(round(x)), :3].sum())


def test_the_picture_is_bright_at_the_key_tones_inside_presses_only(plan_wav, tmp_path):
    ax = tonescan.plot(plan_wav)
    out = tmp_path / "plot.png"
    ax.figure.savefig(out, dpi=ax.figure.dpi)
    picture = image.imread(out)
    # Beside each tone's own row, not on the key frequency's dotted line.
    beside = 15
    for key, start, end in PLAN:
        middle = (start + end) / 2
        for frequency in TONES[key]:
            inside = brightness(picture, ax, middle, frequency + beside)
            assert inside > 1.8, (key, frequency)
            assert inside > brightness(picture, ax, end + 0.1, frequency + beside) + 1.2, (key, frequency)
        # Rows far from both tones (past the window's side lobes) stay dark under the shading.
        for frequency in (400, 697, 941, 1209, 1633, 1750):
            if min(abs(frequency - tone) for tone in TONES[key]) >= 250:
                assert brightness(picture, ax, middle, frequency + beside) < inside - 1.2, (key, frequency)


def test_a_redacted_copy_is_drawn_below_with_its_masked_spans(plan_wav, tmp_path):
    masked = key_plan()
    cuts = [(start + 0.04, end) for _, start, end in PLAN]
    for start, end in cuts:
        masked[round(start * RATE):round(end * RATE)] = 0
    copy = tmp_path / "masked.wav"
    soundfile.write(copy, masked, RATE, subtype="PCM_16")

    original, redacted = tonescan.plot(plan_wav, redacted=copy)
    assert original.figure is redacted.figure
    assert [text for _, text in marks(original, "press")[1]] == [key for key, _, _ in PLAN]
    spans, labels = marks(redacted, "masked")
    assert spans == [(pytest.approx(start, abs=1 / RATE), pytest.approx(end, abs=1 / RATE))
                     for start, end in cuts]
    assert labels == []


def test_the_spans_that_redact_returns_are_drawn_with_their_keys():
    samples = key_plan()
    masked, spans = tonescan.redact(samples, RATE)
    pressed = [span for span in spans if span.press]
    assert pressed
    _, redacted = tonescan.plot(samples, RATE, redacted=masked, spans=pressed)
    drawn, labels = marks(redacted, "masked")
    assert drawn == [(pytest.approx(span.start), pytest.approx(span.end)) for span in pressed]
    assert [text for _, text in labels] == [span.key for span in pressed if span.key is not None]


@pytest.mark.parametrize("call, message", [
    (lambda path: tonescan.plot(key_plan()), "rate"),
    (lambda path: tonescan.plot(path, rate=16000), "8000"),
    (lambda path: tonescan.plot(path, channel=2), "channel"),
    (lambda path: tonescan.plot(key_plan().reshape(-1, 2, 2), RATE), "shaped"),
    (lambda path: tonescan.plot(path, redacted=key_plan()[:-1]), "frames"),
    (lambda path: tonescan.plot(path, redacted=path, ax=pyplot.gca()), "pair"),
    (lambda path: tonescan.plot(path, spans=[]), "redacted"),
])
def test_bad_arguments_are_value_errors(plan_wav, call, message):
    with pytest.raises(ValueError, match=message):
        call(plan_wav)


def test_unreadable_files_are_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        tonescan.plot(tmp_path / "missing.wav")
    text = tmp_path / "text.wav"
    text.write_text("not audio\n")
    with pytest.raises(OSError, match="text.wav"):
        tonescan.plot(text)


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_the_command_writes_the_picture(plan_wav, tmp_path):
    out = tmp_path / "plan.png"
    assert main(["plot", str(plan_wav), str(out)]) == 0
    width, height = png_size(out)
    assert width >= 600 and height >= 250
    rgb = image.imread(out)[..., :3]
    # Mostly the spectrogram's dark noise floor, with the key tones bright on it.
    assert (rgb.sum(axis=2) < 0.6).mean() > 0.3
    assert ((rgb.sum(axis=2) > 2.0) & (rgb.min(axis=2) < 0.9)).mean() > 0.005

    # Through the interpreter as a user runs it: the copy below takes as much room again.
    both = tmp_path / "both.png"
    result = subprocess.run([sys.executable, "-m", "tonescan", "plot", plan_wav, both, "--redacted", plan_wav,
                             "--detector", "library"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert png_size(both)[0] == width and png_size(both)[1] > 1.5 * height


@pytest.mark.parametrize("args, status, message", [
    (["plot", "{missing}", "{out}"], 1, "tonescan: .*missing.wav"),
    (["plot", "{text}", "{out}"], 1, "tonescan: .*text.wav"),
    (["plot", "{plan}", "{tmp}/no/such/folder/out.png"], 1, "tonescan: "),
    (["plot", "{plan}", "{tmp}/out.nosuchformat"], 1, "tonescan: .*nosuchformat"),
    (["plot", "{plan}", "{out}", "--channel", "3"], 1, "tonescan: no channel 3"),
    (["plot", "{plan}", "{out}", "--redacted", "{missing}"], 1, "tonescan: .*missing.wav"),
    (["plot", "{plan}", "{out}", "--detector", "other"], 2, "invalid choice"),
    (["plot", "{plan}"], 2, "OUT"),
    ([], 2, "COMMAND"),
])
def test_command_failures_say_why_and_leave_no_picture(plan_wav, tmp_path, capsys, args, status, message):
    text = tmp_path / "text.wav"
    text.write_text("not audio\n")
    names = {"missing": tmp_path / "missing.wav", "text": text, "out": tmp_path / "out.png",
             "plan": plan_wav, "tmp": tmp_path}
    try:
        returned = main([arg.format(**names) for arg in args])
    except SystemExit as exit:
        returned = exit.code
    assert returned == status
    assert re.search(message, capsys.readouterr().err)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plan.wav", "text.wav"]
