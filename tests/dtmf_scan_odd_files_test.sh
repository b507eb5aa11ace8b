#!/usr/bin/env bash
# dtmf-scan on files whose headers or sizes do not tell the truth: a WAV past
# 4 GiB whose 32-bit sizes wrapped (scanned to its end, with a notice), a
# header with a nonsense rate (refused at once), pseudo-files that say they
# are empty but hold data (read as streams), files cut short, which give the
# presses before the cut, by name as through a pipe, then the error; and
# --raw-rate given for files that have a header (read by it, with a notice)
# and for PCM that looks like nothing or only weakly like something (read raw).
# usage: dtmf_scan_odd_files_test.sh PATH/TO/dtmf-scan PATH/TO/key_plan_wav
set -uo pipefail
tool=$(realpath "$1")
plan=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Little-endian 32-bit words written over a file's bytes.
put32() {  # file offset value
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# Key 1 at the end of 4.5 GiB of 44100/s stereo silence (a sparse file), with
# the sizes a recorder writes modulo 2^32.
sox -r 44100 -c 2 -n -b 16 key.wav synth 0.15 sine 697 sine 1209 gain -12 pad 0.2 0.2
key_bytes=$(($(stat -c %s key.wav) - 44))
audio=$((9 << 29))
head -c 44 key.wav > wrapped.wav
put32 wrapped.wav 4 $(((36 + audio) & 0xFFFFFFFF))
put32 wrapped.wav 40 $((audio & 0xFFFFFFFF))
truncate -s $((44 + audio - key_bytes)) wrapped.wav
tail -c "$key_bytes" key.wav >> wrapped.wav
out=$(timeout 300 "$tool" --jobs 1 wrapped.wav 2>err) || fail "wrapped.wav: exit $?: $(cat err)"
[ "$(awk '{print $2}' <<<"$out")" = 1 ] || fail "wrapped.wav: the key at the end not found: '$out'"
case "$out" in 2739[01].*) ;; *) fail "wrapped.wav: the key not at 27391 s: '$out'" ;; esac
grep -q "^dtmf-scan: wrapped.wav: the WAV header's sizes wrapped past 4 GiB" err ||
  fail "wrapped.wav: no notice: $(cat err)"

# 2 MB of audio said to be at 1 frame/s.
sox -r 8000 -c 1 -n -b 16 slow.wav synth 125 whitenoise vol 0.1
put32 slow.wav 24 1
put32 slow.wav 28 2
start=$(date +%s)
timeout 20 "$tool" slow.wav > out 2> err
rc=$?
[ "$rc" -eq 1 ] || fail "slow.wav: exit $rc: $(cat err)"
[ $(($(date +%s) - start)) -le 10 ] || fail "slow.wav: took $(($(date +%s) - start)) s to refuse"
grep -q "^dtmf-scan: slow.wav: a sample rate of 1/s cannot hold touch tones" err || fail "slow.wav: '$(cat err)'"

# /proc says its files are empty; they are read to their end.
"$tool" --raw-rate 8000 /proc/self/status > out 2> err || fail "/proc/self/status: exit $?: $(cat err)"
[ ! -s err ] || fail "/proc/self/status: '$(cat err)'"
# A regular file that is empty is still said to be.
: > empty.wav
"$tool" empty.wav > out 2> err && fail "empty.wav: exit 0"
grep -q "^dtmf-scan: empty.wav: file is empty" err || fail "empty.wav: '$(cat err)'"

# Cut short: each file by name gives what the same bytes give through a pipe,
# presses and exit status, with each detector and with parts read side by
# side (long.wav, cut inside its third plan, is read in parts with -j2).
# FILE|RAW-RATE|BYTES KEPT (of the whole)|EXIT
"$plan" "noise 6 dB SNR" 1 4 plan.wav 150 150 > /dev/null
sox -R plan.wav -e u-law ulaw.wav
sox -R plan.wav -e gsm-full-rate gsm.wav
sox -R plan.wav -e ima-adpcm ima.wav
sox -R plan.wav -e floating-point -b 32 float.wav
sox -R plan.wav -r 44100 -c 2 stereo.wav
sox -R plan.wav plan.flac
sox -R plan.wav -t raw -e signed -b 16 -L plan.raw
sox -R -r 8000 -c 1 -n -b 16 quiet.wav synth 250 whitenoise vol 0.005
sox -R plan.wav at_10.wav pad 10 235
sox -R plan.wav at_100.wav pad 100 145
sox -R plan.wav at_190.wav pad 190 55
sox -R -m -v 1 at_10.wav -v 1 at_100.wav -v 1 at_190.wav -v 1 quiet.wav long.wav 2> /dev/null
cuts=(
  "plan.wav||2/5|1"
  "ulaw.wav||2/5|1"
  "gsm.wav||2/5|1"
  "ima.wav||2/5|1"
  "float.wav||2/5|1"
  "stereo.wav||2/5|1"
  "plan.flac||1/2|1"
  "long.wav||77/100|1"
  "plan.raw|8000|2/5|0"
)
for c in "${cuts[@]}"; do
  IFS='|' read -r file raw kept status <<<"$c"
  size=$(stat -c %s "$file")
  head -c $((size * ${kept%/*} / ${kept#*/} + 1)) "$file" > "cut_$file"
  for detector in recording library; do
    for jobs in 1 2; do
      what="cut_$file --detector=$detector -j$jobs"
      args=(--detector="$detector" -j"$jobs" ${raw:+--raw-rate "$raw"})
      "$tool" "${args[@]}" "cut_$file" > by_name 2> by_name.err
      rc=$?
      "$tool" "${args[@]}" - < <(cat "cut_$file") > by_pipe 2> by_pipe.err
      pipe_rc=$?
      [ "$rc" -eq "$status" ] && [ "$pipe_rc" -eq "$status" ] ||
        fail "$what: exit $rc by name, $pipe_rc through a pipe: $(cat by_name.err by_pipe.err)"
      [ -s by_name ] || fail "$what: no presses before the cut"
      cmp -s by_name by_pipe || fail "$what: by name and through a pipe differ: $(diff by_name by_pipe | head -5)"
      if [ "$status" -ne 0 ]; then
        grep -q "^dtmf-scan: cut_$file: file is truncated" by_name.err || fail "$what: '$(cat by_name.err)'"
      fi
    done
  done
done

# --raw-rate: FILE|HEADER NAMED IN THE NOTICE (by name; empty: read raw).
# sync.raw starts with what an MP3 frame header would be.
sox -R plan.wav plan.aiff
sox -R plan.wav plan.caf
{ printf '\xff\xfb\x90\x64'; tail -c +5 plan.raw; } > sync.raw
raws=(
  "plan.wav|WAV"
  "plan.flac|FLAC"
  "plan.aiff|AIFF"
  "plan.caf|CAF"
  "plan.raw|"
  "sync.raw|"
)
# What only FFmpeg reads, when this dtmf-scan reads it.
if command -v ffmpeg > /dev/null; then
  ffmpeg -loglevel error -i plan.wav -c:a aac plan.m4a
  ffmpeg -loglevel error -i plan.wav -c:a libmp3lame -id3v2_version 0 -write_xing 0 plan.mp3
  "$tool" plan.m4a > /dev/null 2>&1 && raws+=("plan.m4a|a format FFmpeg reads")
  raws+=("plan.mp3|MPEG audio")
fi
"$tool" plan.wav > plan.keys
for r in "${raws[@]}"; do
  IFS='|' read -r file header <<<"$r"
  if [ -n "$header" ]; then "$tool" "$file" > expected; else cp plan.keys expected; fi
  for how in name pipe; do
    if [ "$how" = name ]; then
      "$tool" --raw-rate 8000 "$file" > out 2> err
      name=$file
    else
      "$tool" --raw-rate 8000 - < <(cat "$file") > out 2> err
      name="<stdin>"
    fi
    rc=$?
    what="--raw-rate 8000 $file by $how"
    [ "$rc" -eq 0 ] || fail "$what: exit $rc: $(cat err)"
    cmp -s out expected || fail "$what: presses differ: $(diff out expected | head -5)"
    if [ -z "$header" ]; then
      [ ! -s err ] || fail "$what: '$(cat err)'"
    elif [ "$how" = name ]; then
      [ "$(cat err)" = "dtmf-scan: $name: has a header ($header): --raw-rate ignored" ] || fail "$what: '$(cat err)'"
    else
      # A pipe's first 4 kB may not hold all that libsndfile needs: FFmpeg may name it instead.
      grep -qx "dtmf-scan: $name: has a header (.*): --raw-rate ignored" err || fail "$what: '$(cat err)'"
    fi
  done
done

# Without --raw-rate, what only starts as MPEG audio does is refused in the
# tool's one line: libsndfile's MPEG decoder, which writes to standard error,
# never sees it.
for how in name pipe; do
  if [ "$how" = name ]; then
    "$tool" sync.raw > out 2> err && rc=0 || rc=$?
    name=sync.raw
  else
    "$tool" - < <(cat sync.raw) > out 2> err && rc=0 || rc=$?
    name="<stdin>"
  fi
  [ "$rc" -eq 1 ] && [ "$(wc -l < err)" -eq 1 ] &&
    grep -q "^dtmf-scan: $name: not a readable audio file: .*no MPEG audio frames follow" err ||
    fail "sync.raw by $how: exit $rc: '$(cat err)'"
done

# MPEG audio without a Xing header, whose length libsndfile can only guess:
# the same presses by name and through a pipe (read whole first), exit 0.
if [ -f plan.mp3 ]; then
  "$tool" plan.mp3 > by_name 2> err && rc=0 || rc=$?
  [ "$rc" -eq 0 ] && [ -s by_name ] || fail "plan.mp3 by name: exit $rc: '$(cat err)'"
  "$tool" - < <(cat plan.mp3) > by_pipe 2> err && rc=0 || rc=$?
  [ "$rc" -eq 0 ] && cmp -s by_name by_pipe || fail "plan.mp3 by pipe: exit $rc: '$(cat err)'"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all dtmf-scan odd file checks passed"
