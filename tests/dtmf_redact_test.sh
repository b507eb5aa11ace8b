#!/usr/bin/env bash
# dtmf-redact on key plans: no key is left for dtmf-scan's two detectors or
# for multimon-ng (an independent decoder), the audio outside the logged spans
# is unchanged byte for byte, in each format written so, and little more than
# the keys is masked. Its failures leave the input as it was and no output.
# usage: dtmf_redact_test.sh DTMF-REDACT DTMF-SCAN KEY-PLAN-WAV
set -uo pipefail
redact=$(realpath "$1")
scan=$(realpath "$2")
plan=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Checks OUT against IN outside the spans of LOG, frame by frame on the raw
# samples sox gives of each, and the masked time against KEYS keys of
# TONE-MS each with two guards of 20 ms (and EDGES-MS for the edges, 5 unless
# given).
# usage: check_spans IN OUT LOG KEYS TONE-MS [EDGES-MS]
check_spans() {
  sox "$1" -t raw in.raw && sox "$2" -t raw out.raw || return 1
  local channels bits rate
  channels=$(soxi -c "$1") bits=$(soxi -b "$1") rate=$(soxi -r "$1")
  python3 - in.raw out.raw "$3" "$channels" "$bits" "$rate" "$4" "$5" "${6:-5}" <<'PYTHON'
import json, sys
a, b, log, channels, bits, rate, keys, tone, edges = sys.argv[1:]
a, b = open(a, "rb").read(), open(b, "rb").read()
frame = int(channels) * max(1, int(bits) // 8)
lines = [json.loads(l) for l in open(log)]
spans, summary = lines[:-1], lines[-1]
assert len(a) == len(b), f"lengths {len(a)} and {len(b)}"
at = 0
for s in spans + [{"start_frame": len(a) // frame, "end_frame": len(a) // frame}]:
    start, end = s["start_frame"], s["end_frame"]
    assert at <= start < end or start == end == len(a) // frame, f"span {s} after {at}"
    assert a[at * frame:start * frame] == b[at * frame:start * frame], f"frames {at}-{start} differ"
    at = end
masked = sum(s["end_frame"] - s["start_frame"] for s in spans)
assert summary["spans"] == len(spans)
per_key = 1000 * masked / int(float(rate)) / int(keys)
assert per_key <= float(tone) + 40 + float(edges), f"{per_key:.1f} ms masked per key"
PYTHON
}

peer_keys() { # FILE: what multimon-ng hears
  sox "$1" -t raw -r 22050 -e signed -b 16 -c 1 - | multimon-ng -q -a DTMF -t raw - 2>/dev/null |
    sed -n 's/^DTMF: //p' | tr -d '\n'
}

no_keys_left() { # NAME FILE
  local left
  left=$("$scan" "$2" | wc -l)
  [ "$left" -eq 0 ] || fail "$1: the recording detector finds $left keys after redaction"
  left=$("$scan" --detector=library "$2" | wc -l)
  [ "$left" -eq 0 ] || fail "$1: the block analysis finds $left keys after redaction"
  left=$(peer_keys "$2")
  [ -z "$left" ] || fail "$1: multimon-ng finds '$left' after redaction"
}

# Conditions of the recordings: name, tone length in ms, and where noise blurs
# the tones' edges, how much their spans may take beyond them.
while IFS='|' read -r condition tone edges; do
  "$plan" "$condition" 2 5 a.wav || { fail "$condition: no key plan"; continue; }
  found=$("$scan" a.wav | wc -l)
  [ "$found" -ge 28 ] || fail "$condition: only $found keys in the input"
  "$redact" --log=log a.wav b.wav || { fail "$condition: exit $?"; continue; }
  no_keys_left "$condition" b.wav
  check_spans a.wav b.wav log 32 "$tone" "$edges" || fail "$condition: audio outside the spans changed, or too much masked"
done <<'EOF'
40 ms|40
-40 dBFS|40
noise 6 dB SNR|40
twist +6 dB|40
u-law|40
GSM 06.10|40
44100/s stereo|40
48000/s|40
music 10 dB under|150
hum 60 Hz -10 dB|150
AMR-NB 4.75|150
AMR-NB 7.4|150
lost frames 2%|150
noise 0 dB SNR|150|10
EOF

# The formats written sample for sample outside the spans, each redacted as
# itself and through a pipe.
"$plan" "40 ms" 2 9 a.wav
for f in s16.wav:"-b 16" s24.wav:"-b 24" f32.wav:"-e floating-point -b 32" ulaw.wav:"-e u-law" alaw.au:"-e a-law" \
  s16.flac:"-b 16" s24.flac:"-b 24" s16.aiff:"-b 16"; do
  name=${f%%:*}
  # shellcheck disable=SC2086
  sox a.wav ${f#*:} "$name"
  "$redact" --log=log "$name" "r-$name" || { fail "$name: exit $?"; continue; }
  [ "$(soxi -t "r-$name")" = "$(soxi -t "$name")" ] && [ "$(soxi -e "r-$name")" = "$(soxi -e "$name")" ] ||
    fail "$name: written as $(soxi -t "r-$name") $(soxi -e "r-$name")"
  no_keys_left "$name" "r-$name"
  check_spans "$name" "r-$name" log 32 40 || fail "$name: audio outside the spans changed"
  # (Float WAV's PEAK chunk holds the time it was written.)
  "$redact" --log=/dev/null - - < "$name" > "p-$name" && cmp -s <(sox "p-$name" -t raw -) <(sox "r-$name" -t raw -) ||
    fail "$name: through a pipe, not the same output"
done

# --output-format, --fill noise, --guard.
"$redact" --log=/dev/null --output-format=flac s16.wav o.flac && [ "$(soxi -t o.flac)" = flac ] ||
  fail "--output-format=flac"
"$redact" --log=log --fill=noise a.wav n.wav && no_keys_left "--fill=noise" n.wav || fail "--fill=noise: exit $?"
"$redact" --log=log --guard=0 a.wav g.wav && check_spans a.wav g.wav log 32 0 || fail "--guard=0"

# Chunks libsndfile keeps besides the strings: a WAV with a broadcast
# extension and cue points keeps both, by name and through a pipe (libsndfile
# adds a line of its own to the coding history).
chunks() { # make IN OUT | check IN OUT
  python3 - "$@" <<'PYTHON'
import struct, sys
def chunks(path):
    d = open(path, "rb").read()
    assert d[:4] == b"RIFF" and d[8:12] == b"WAVE"
    at, out = 12, {}
    while at + 8 <= len(d):
        cid, size = d[at:at + 4], struct.unpack("<I", d[at + 4:at + 8])[0]
        out[cid] = d[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
    return out
if sys.argv[1] == "make":
    src = chunks(sys.argv[2])
    bext = (b"Redaction test".ljust(256, b"\0") + b"tonewatch".ljust(32, b"\0") + b"ref-42".ljust(32, b"\0") +
            b"2026-12-09" + b"12:00:00" + struct.pack("<IIH", 8000, 0, 1) + bytes(64) + bytes(10) + bytes(180) +
            b"A=PCM,F=8000,W=16,M=mono\r\n")
    cue = struct.pack("<I", 2) + b"".join(struct.pack("<II4sIII", i + 1, pos, b"data", 0, 0, pos)
                                          for i, pos in enumerate((4000, 12000)))
    body = b"WAVE"
    for cid, data in ((b"fmt ", src[b"fmt "]), (b"bext", bext), (b"cue ", cue), (b"data", src[b"data"])):
        body += cid + struct.pack("<I", len(data)) + data + (b"\0" if len(data) & 1 else b"")
    open(sys.argv[3], "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)
else:
    a, b = chunks(sys.argv[2]), chunks(sys.argv[3])
    assert b[b"bext"][:256 + 32 + 32 + 18] == a[b"bext"][:256 + 32 + 32 + 18], "bext differs"
    assert b[b"bext"][602:].startswith(a[b"bext"][602:].rstrip(b"\0")), "coding history lost"
    cues = lambda c: [struct.unpack("<II4sIII", c[b"cue "][4 + 24 * i:28 + 24 * i])[::5] for i in range(struct.unpack("<I", c[b"cue "][:4])[0])]
    assert cues(b) == cues(a), f"cues {cues(b)} against {cues(a)}"
PYTHON
}
chunks make a.wav meta.wav
"$redact" --log=/dev/null meta.wav r-meta.wav && chunks check meta.wav r-meta.wav || fail "bext and cue chunks not kept"
"$redact" --log=/dev/null - - < meta.wav > p-meta.wav && chunks check meta.wav p-meta.wav ||
  fail "bext and cue chunks not kept through a pipe"

# --in-place keeps the mode and leaves nothing beside the file.
mkdir place && cp a.wav place/x.wav && chmod 640 place/x.wav
"$redact" --log=/dev/null a.wav place/expected.wav
"$redact" --log=/dev/null --in-place place/x.wav || fail "--in-place: exit $?"
cmp -s place/x.wav place/expected.wav || fail "--in-place: not the same output"
[ "$(stat -c %a place/x.wav)" = 640 ] || fail "--in-place: mode $(stat -c %a place/x.wav)"
[ "$(find place | wc -l)" -eq 3 ] || fail "--in-place left files: $(ls -A place)"

# Several files into a folder, two at a time: the same outputs as one by
# one, each log line naming its file; one that fails leaves the others.
mkdir many many-out && cp s16.wav many/one.wav && cp s24.wav many/two.wav && echo text > many/three.wav
"$redact" --log=/dev/null many/one.wav one.wav && "$redact" --log=/dev/null many/two.wav two.wav
"$redact" --log=many.log -j 2 -d many-out many/one.wav many/three.wav many/two.wav 2> err
rc=$?
[ "$rc" -eq 1 ] && grep -q "three.wav" err || fail "-d with a bad file: exit $rc, '$(cat err)'"
cmp -s many-out/one.wav one.wav && cmp -s many-out/two.wav two.wav || fail "-d: not the same outputs"
[ ! -e many-out/three.wav ] || fail "-d: an output for a file that failed"
[ "$(grep -c '^{"file":"many/one.wav",' many.log)" -ge 2 ] && [ "$(grep -vc '^{"file":' many.log)" -eq 0 ] ||
  fail "-d: log lines without their file"

# Failures: the input as it was, no output, exit 1 (2 for OUT being IN).
head -c 30000 a.wav > cut.wav
sum=$(md5sum < a.wav)
while IFS='|' read -r what status in out; do
  rm -rf out && mkdir out
  "$redact" --log=/dev/null "$in" "$out" 2> err
  rc=$?
  [ "$rc" -eq "$status" ] && grep -q "^dtmf-redact: " err || fail "$what: exit $rc, '$(cat err)'"
  [ "$(md5sum < a.wav)" = "$sum" ] || fail "$what: the input changed"
  [ -z "$(ls -A out)" ] || fail "$what: left $(ls -A out)"
done <<'EOF'
OUT is IN by another name|2|a.wav|./a.wav
a full device|1|a.wav|/dev/full
a folder that does not exist|1|a.wav|out/none/b.wav
an input that is not audio|1|/etc/passwd|out/b.wav
an input cut short|1|cut.wav|out/b.wav
EOF
if [ "$(id -u)" -ne 0 ]; then
  mkdir locked && chmod 555 locked
  "$redact" --log=/dev/null a.wav locked/b.wav 2> err
  [ $? -eq 1 ] && [ -z "$(ls -A locked)" ] || fail "a read-only folder: exit, or left $(ls -A locked)"
fi

# A full disk: a tmpfs too small for the output, mounted in a user and mount
# namespace of our own, where the system allows one.
sox -n -r 8000 -c 1 -b 16 big.wav synth 20 whitenoise vol 0.1
sum=$(md5sum < big.wav)
rm -rf small && mkdir small
if unshare -r -m true 2>/dev/null; then
  unshare -r -m bash -c 'mount -t tmpfs -o size=128k tmpfs small || exit 3
    "$1" --log=/dev/null big.wav small/b.wav 2> err
    echo $? > rc
    ls -A small > left' _ "$redact"
  [ "$(cat rc)" = 1 ] && grep -q "^dtmf-redact: .*No space left" err || fail "a full tmpfs: exit $(cat rc), '$(cat err)'"
  [ ! -s left ] || fail "a full tmpfs: left $(cat left)"
  [ "$(md5sum < big.wav)" = "$sum" ] || fail "a full tmpfs: the input changed"
else
  echo "skipped: a full tmpfs (no user and mount namespace here)" >&2
fi

# A signal mid-write: the temporary file goes with the process.
rm -rf out && mkdir out && mkfifo fifo
"$redact" --log=/dev/null fifo out/b.wav 2> err &
pid=$!
exec 3> fifo
head -c 20000 a.wav >&3
for _ in $(seq 100); do
  [ -n "$(ls -A out)" ] && break
  sleep 0.1
done
[ -n "$(ls -A out)" ] || fail "no temporary file while writing"
kill -TERM "$pid"
wait "$pid"
rc=$?
exec 3>&-
[ "$rc" -ne 0 ] && [ -z "$(ls -A out)" ] || fail "a signal mid-write: exit $rc, left $(ls -A out)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all dtmf-redact checks passed"
