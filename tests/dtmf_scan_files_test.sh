#!/usr/bin/env bash
# dtmf-scan on recordings made by sox (an independent generator) and decoded
# by multimon-ng (an independent decoder): keys, times, rate conversion,
# channel mixing, formats, bad files and the command line.
# usage: dtmf_scan_files_test.sh PATH/TO/dtmf-scan
set -uo pipefail
tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
# The times below are those of the block analysis; the recording detector's
# checks name it after this choice, which they override.
scan=$work/dtmf-scan-blocks
printf '#!/bin/sh\nexec "%s" --detector=library "$@"\n' "$tool" > "$scan"
chmod +x "$scan"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Played: each key a 150 ms tone pair at -10 dBFS per tone, then a pause of
# 150-400 ms; repeats included. Times of the tone starts in seconds.
keys='1235590*#AD774B'
pauses=(0.15 0.15 0.2 0.15 0.4 0.15 0.15 0.3 0.15 0.15 0.15 0.15 0.2 0.15 0.15)
lead=0.2
tone=0.15
times=()
t=$lead
for ((i = 0; i < ${#keys}; i++)); do
  times+=("$t")
  t=$(awk -v a="$t" -v b="$tone" -v c="${pauses[i]}" 'BEGIN { print a + b + c }')
done

pair() {
  case $1 in
    1) echo 697 1209 ;; 2) echo 697 1336 ;; 3) echo 697 1477 ;; A) echo 697 1633 ;;
    4) echo 770 1209 ;; 5) echo 770 1336 ;; 6) echo 770 1477 ;; B) echo 770 1633 ;;
    7) echo 852 1209 ;; 8) echo 852 1336 ;; 9) echo 852 1477 ;; C) echo 852 1633 ;;
    '*') echo 941 1209 ;; 0) echo 941 1336 ;; '#') echo 941 1477 ;; D) echo 941 1633 ;;
  esac
}

# Two sines mixed to one channel, each at peak 0.316 (-10 dBFS).
tone_pair() {  # rate low high seconds out
  sox -r "$1" -c 2 -n "$5" synth "$4" sine "$2" sine "$3" remix 1v0.316,2v0.316
}

silence() {  # rate seconds out
  sox -r "$1" -c 1 -n "$3" trim 0 "$2"
}

files=()
for rate in 8000 16000 44100 48000; do
  parts=("lead_$rate.wav")
  silence "$rate" "$lead" "lead_$rate.wav"
  for ((i = 0; i < ${#keys}; i++)); do
    k=${keys:i:1}
    [ -f "key${i}_$rate.wav" ] || tone_pair "$rate" $(pair "$k") "$tone" "key${i}_$rate.wav"
    silence "$rate" "${pauses[i]}" "pause${i}_$rate.wav"
    parts+=("key${i}_$rate.wav" "pause${i}_$rate.wav")
  done
  sox "${parts[@]}" "mono_$rate.wav"
  sox "mono_$rate.wav" "mono_$rate.flac"
  # Tones on the right channel only: the scan must mix, not take channel 1.
  sox "mono_$rate.wav" "stereo_$rate.wav" remix 0 1
  sox "mono_$rate.wav" "stereo_$rate.flac" remix 0 1
  files+=("mono_$rate.wav" "mono_$rate.flac" "stereo_$rate.wav" "stereo_$rate.flac")
done

# Checks "TIME KEY" lines on stdin against the played keys and times, by
# default within one block (62.5 ms) and the rounding of the printed time.
check_presses() {  # label [tolerance]
  local label=$1 within=${2:-0.063} found_keys="" n=0 time key
  while read -r time key; do
    found_keys+=$key
    if [ "$n" -lt "${#times[@]}" ]; then
      if ! awk -v a="$time" -v b="${times[n]}" -v w="$within" 'BEGIN { d = a - b; exit !(d < w && d > -w) }'; then
        fail "$label: press $n ($key) at $time, played at ${times[n]}"
      fi
    fi
    n=$((n + 1))
  done
  [ "$found_keys" = "$keys" ] || fail "$label: found '$found_keys', played '$keys'"
}

# All formats, rates and channel layouts in one parallel run: results must
# come back grouped in command-line order.
"$scan" --jobs 4 "${files[@]}" > all.out 2> all.err
rc=$?
[ "$rc" -eq 0 ] || fail "scan of generated files exited $rc: $(cat all.err)"
[ "$(cut -d: -f1 all.out | uniq | tr '\n' ' ')" = "${files[*]} " ] || fail "files out of order: $(cut -d: -f1 all.out | uniq | tr '\n' ' ')"
for f in "${files[@]}"; do
  grep "^$f: " all.out | sed "s/^$f: //" | check_presses "$f"
done

# Standard input, raw PCM (mono and stereo) and a single file: no prefix.
"$scan" - < stereo_44100.flac | check_presses "stdin"
sox mono_8000.wav -t raw -e signed -b 16 -L mono_8000.raw
"$scan" --raw-rate 8000 mono_8000.raw | check_presses "raw"
sox stereo_16000.wav -t raw -e signed -b 16 -L stereo_16000.raw
"$scan" --raw-rate=16000 --raw-channels 2 stereo_16000.raw | check_presses "raw stereo"

# JSON: a record per press, then one closing each file.
"$scan" --json mono_48000.flac stereo_8000.wav > json.out
[ "$(wc -l < json.out)" -eq 32 ] || fail "json: expected 32 lines, got $(cat json.out)"
[ "$(sed -n 17p json.out)" = '{"file":"stereo_8000.wav","time":0.188,"key":"1"}' ] ||
  fail "json: unexpected first press of the second file: $(sed -n 17p json.out)"
grep -qx '{"file":"stereo_8000.wav","keys":"1235590\*#AD774B","blocks":[0-9]*}' json.out ||
  fail "json: no closing record: $(tail -1 json.out)"

# The recording detector: the same keys, within 5 ms of their starts; in
# JSON with their ends. One side of a call recorded on two channels.
"$scan" --detector=recording --jobs 2 mono_44100.wav stereo_16000.flac > recording.out
for f in mono_44100.wav stereo_16000.flac; do
  grep "^$f: " recording.out | sed "s/^$f: //" | check_presses "recording $f" 0.0055
done
"$scan" --detector=recording --json mono_8000.wav > recording.json
[ "$(head -1 recording.json)" = '{"file":"mono_8000.wav","time":0.200,"key":"1","end":0.350}' ] ||
  fail "recording json: unexpected first press: $(head -1 recording.json)"
[ "$(tail -1 recording.json)" = '{"file":"mono_8000.wav","keys":"1235590*#AD774B"}' ] ||
  fail "recording json: unexpected closing record: $(tail -1 recording.json)"
tone_pair 8000 852 1477 0.5 other_side.wav
sox -M mono_8000.wav other_side.wav call.wav
"$scan" --detector=recording --channel=1 call.wav | check_presses "channel 1" 0.0055
[ "$("$scan" --channel 2 call.wav | cut -d' ' -f2 | tr -d '\n')" = 9 ] || fail "channel 2: $("$scan" --channel 2 call.wav)"
"$scan" --channel=3 call.wav > /dev/null 2> channel.err
rc=$?
[ "$rc" -eq 1 ] && grep -q "call.wav: has no channel 3, only 2" channel.err || fail "channel 3: exit $rc, '$(cat channel.err)'"

# Tones above 2 kHz fold onto the pair of 9 (852 + 1477 Hz) if the rate is
# converted without a low-pass; they must give no key.
for rate in 8000 16000 48000; do
  tone_pair "$rate" 3148 2523 1 "alias_$rate.wav"
  out=$("$scan" "alias_$rate.wav")
  [ -z "$out" ] || fail "alias_$rate.wav: keys found in tones above 2 kHz: $out"
done

# A long recording at 8000/s is read in parts side by side when a processor
# is spare (two parts of 75 s here, three of 50 s): the same lines as a scan
# in order, with a key held across the first parts' boundary found once, and
# a FLAC cut short (its later parts cannot be read) reported as in order.
silence 8000 10 long_a.wav
tone_pair 8000 697 1209 0.2 long_1.wav
silence 8000 64.7 long_b.wav
tone_pair 8000 852 1477 0.3 long_9.wav
silence 8000 64.8 long_c.wav
tone_pair 8000 941 1477 0.2 long_hash.wav
silence 8000 9.8 long_d.wav
sox long_a.wav long_1.wav long_b.wav long_9.wav long_c.wav long_hash.wav long_d.wav long_tones.wav
# Quiet noise (-46 dBFS) throughout, so that the FLAC has bytes to cut.
sox -r 8000 -c 1 -n long_noise.wav synth 150 whitenoise vol 0.005
sox -m -v 1 long_tones.wav -v 1 long_noise.wav long.wav
sox long.wav long.flac
sox long.wav long_stereo.wav remix 0 1
head -c $(($(stat -c %s long.flac) * 2 / 3)) long.flac > long_cut.flac
for f in long.wav long.flac long_stereo.wav long_cut.flac; do
  "$scan" --jobs 1 --json "$f" > "$f.in_order" 2> "$f.in_order.err"
  [ "$(grep -o '"key":"[^"]*"' "$f.in_order" | tr -d '\n')" = '"key":"1""key":"9""key":"#"' ] ||
    [ "$f" = long_cut.flac ] || fail "$f: in order: $(cat "$f.in_order")"
  for jobs in 2 3; do
    "$scan" --jobs "$jobs" --json "$f" > "$f.$jobs" 2> "$f.$jobs.err"
    cmp -s "$f.in_order" "$f.$jobs" && cmp -s "$f.in_order.err" "$f.$jobs.err" ||
      fail "$f: --jobs $jobs: '$(cat "$f.$jobs" "$f.$jobs.err")', in order: '$(cat "$f.in_order" "$f.in_order.err")'"
  done
done
grep -q "long_cut.flac: file is truncated" long_cut.flac.in_order.err || fail "long_cut.flac: $(cat long_cut.flac.in_order.err)"

# Bad files among good ones: each named with its reason, the rest scanned.
: > empty.wav
echo "not audio at all" > corrupt.wav
head -c 20000 mono_44100.flac > truncated.flac
head -c 30000 mono_8000.wav > truncated.wav
mkdir folder.wav
"$scan" --jobs 3 empty.wav mono_16000.flac corrupt.wav truncated.flac missing.wav folder.wav truncated.wav \
  stereo_48000.wav > bad.out 2> bad.err
rc=$?
[ "$rc" -eq 1 ] || fail "bad files: exit status $rc, expected 1"
! grep -q "Sanitizer\|runtime error" bad.err || fail "bad files: $(cat bad.err)"
grep "^mono_16000.flac: " bad.out | sed 's/^[^ ]* //' | check_presses "good file among bad ones"
grep "^stereo_48000.wav: " bad.out | sed 's/^[^ ]* //' | check_presses "last file after bad ones"
for expect in "empty.wav: file is empty" "corrupt.wav: not a readable audio file" "truncated.flac: file is truncated" \
  "missing.wav: No such file or directory" "folder.wav: is a folder (-r scans the files in it)" "truncated.wav: file is truncated"; do
  grep -q "^dtmf-scan: $expect" bad.err || fail "bad files: no message '$expect' in: $(cat bad.err)"
done

# Folders (-r): the files under them depth first, each folder's names in
# byte order; links followed, to files and folders, but not back into a
# folder on the way down; what is not audio, or not a file, skipped with a
# notice and exit 0. A file named by the user that is not audio still fails.
mkdir -p tree/a tree/b tree/B
cp mono_8000.wav tree/a/1.wav
cp mono_8000.flac tree/b/2.flac
cp stereo_8000.wav tree/B/3.wav
cp mono_16000.wav tree/z.wav
echo "notes" > tree/a/notes.txt
ln -s ../z.wav tree/a/link.wav
ln -s ../a tree/B/a
ln -s .. tree/b/up
mkfifo tree/fifo
"$scan" --jobs 3 -r tree > tree.out 2> tree.err
rc=$?
[ "$rc" -eq 0 ] || fail "-r tree: exit $rc: $(cat tree.err)"
order="tree/B/3.wav tree/B/a/1.wav tree/B/a/link.wav tree/a/1.wav tree/a/link.wav tree/b/2.flac tree/z.wav "
[ "$(cut -d: -f1 tree.out | uniq | tr '\n' ' ')" = "$order" ] || fail "-r tree: order $(cut -d: -f1 tree.out | uniq | tr '\n' ' ')"
for f in $order; do grep "^$f: " tree.out | sed "s|^$f: ||" | check_presses "-r $f"; done
while IFS='|' read -r name notice; do
  grep -q "^dtmf-scan: $name: skipped: $notice" tree.err || fail "-r tree: no notice '$name: $notice' in: $(cat tree.err)"
done <<'NOTICES'
tree/B/a/notes.txt|not a readable audio file
tree/a/notes.txt|not a readable audio file
tree/b/up|a link back to a folder it is in
tree/fifo|not a regular file
NOTICES
[ "$(wc -l < tree.err)" -eq 4 ] || fail "-r tree: other messages: $(cat tree.err)"
"$scan" -r tree/a/notes.txt tree/a/1.wav > /dev/null 2>&1
[ $? -eq 1 ] || fail "-r with a named file that is not audio: exit 0"

# Lists: the FILEs first, then LIST's names (empty lines ignored), each with
# its name even when there is one; NUL-separated names as find -print0 gives
# them, a newline and bytes that are not UTF-8 among them, come back in JSON
# (Python's surrogateescape) as the very bytes, in the list's order.
printf 'mono_8000.flac\n\n%s\n' stereo_16000.wav > names.list
"$scan" --files-from names.list mono_8000.wav | cut -d: -f1 | uniq | tr '\n' ' ' > list.order
[ "$(cat list.order)" = "mono_8000.wav mono_8000.flac stereo_16000.wav " ] || fail "--files-from: order $(cat list.order)"
[ "$(printf 'mono_8000.wav\n' | "$scan" --files-from - | head -1)" = "mono_8000.wav: 0.188 1" ] ||
  fail "--files-from -: one file listed is not named"
mkdir odd
cp mono_8000.wav "odd/new
line.wav"
cp mono_8000.wav "odd/latin1-$(printf '\374').wav"
cp mono_8000.wav "odd/cut-$(printf '\342\202').wav"
cp mono_8000.wav "odd/$(printf 'Anruf-\303\274').wav"
find odd -type f -print0 > odd.list0
"$scan" --json -0 --files-from - < odd.list0 > odd.json || fail "--files-from - -0: exit $?"
python3 - odd.list0 odd.json <<'PYTHON' || fail "JSON names do not give the listed bytes back: $(cat odd.json)"
import json, os, sys
listed = [n for n in open(sys.argv[1], "rb").read().split(b"\0") if n]
records = [json.loads(line) for line in open(sys.argv[2], encoding="utf-8")]
names = [os.fsencode(r["file"]) for r in records if "keys" in r]
assert len(listed) == 4 and names == listed, (names, listed)
assert all(r["keys"] == "1235590*#AD774B" for r in records if "keys" in r), records
PYTHON

# -H: the name even for a single file.
[ "$("$scan" -H mono_8000.wav | head -1)" = "mono_8000.wav: 0.188 1" ] || fail "-H: $("$scan" -H mono_8000.wav | head -1)"

# Command line mistakes exit 2 with a message.
for args in "--bogus mono_8000.wav" "" "--jobs" "--jobs 0 mono_8000.wav" "--raw-rate x mono_8000.raw" "- -" \
  "--detector=fast mono_8000.wav" "--channel 0 mono_8000.wav"; do
  # shellcheck disable=SC2086
  "$scan" $args < /dev/null > /dev/null 2> usage.err
  rc=$?
  [ "$rc" -eq 2 ] && [ -s usage.err ] || fail "'dtmf-scan $args': exit $rc, message '$(cat usage.err)'"
done
# Read whole: grep -q would close the pipe on a help text still being written.
"$scan" --help > help.out && grep -q "62.5 ms" help.out || fail "--help does not explain the block timing"

# Cross-check with multimon-ng on the same recordings: same key strings.
for f in mono_8000.wav mono_16000.flac stereo_44100.wav stereo_48000.flac; do
  peer=$(sox "$f" -t raw -r 22050 -e signed -b 16 -c 1 - | multimon-ng -q -a DTMF -t raw - 2>/dev/null |
    sed -n 's/^DTMF: //p' | tr -d '\n')
  ours=$("$scan" "$f" | cut -d' ' -f2 | tr -d '\n')
  [ "$peer" = "$ours" ] || fail "$f: multimon-ng heard '$peer', dtmf-scan '$ours'"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all dtmf-scan file checks passed"
