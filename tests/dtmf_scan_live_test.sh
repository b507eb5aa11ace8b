#!/usr/bin/env bash
# dtmf-scan live behind arecord, on a private PulseAudio (or PipeWire) loopback: keys
# dialled with dtmf-dial are printed while arecord still records.
# usage: dtmf_scan_live_test.sh DTMF-SCAN DTMF-DIAL SOURCE-DIR
set -euo pipefail
scan=$1
dial=$2
root=$3
dir=$(mktemp -d)
pulse_dir=
recorder=
# PulseAudio where it is installed, PipeWire where pipewire-alsa keeps it out.
server=pulse-private
command -v pulseaudio >/dev/null || server=pipewire-private
cleanup() {
  [ -n "$recorder" ] && kill "$recorder" 2>/dev/null
  [ -n "$pulse_dir" ] && "$root/scripts/$server" stop "$pulse_dir"
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits up to 20 s for `file` to have more than `lines` lines.
wait_lines() {  # file lines
  for _ in $(seq 400); do
    [ "$(wc -l < "$1")" -gt "$2" ] && return 0
    sleep 0.05
  done
  return 1
}

exports=$("$root/scripts/$server" start)
eval "$exports"
pulse_dir=$TONEWATCH_PULSE_DIR
# arecord's own process id, to stop it at the end.
bash -c 'echo $$ > "$1"; exec arecord -q -f S16_LE -r 8000 -c 1 -t wav' _ "$dir/recorder" |
  tee "$dir/recorded.wav" | { "$scan" - > "$dir/out" 2> "$dir/err"; echo $? > "$dir/status"; } &
pipeline=$!
# An idle server delivers its first audio only after a while; keys dialled
# before that would never be recorded.
for _ in $(seq 400); do
  [ "$(stat -c %s "$dir/recorded.wav" 2>/dev/null || echo 0)" -gt 4044 ] && break
  sleep 0.05
done
recorder=$(cat "$dir/recorder")

# Each key must be printed before the next is dialled.
heard=0
for key in 1 5 '#'; do
  "$dial" "$key" > /dev/null
  wait_lines "$dir/out" "$heard" || fail "'$key' dialled, nothing printed; so far: $(cat "$dir/out" "$dir/err")"
  heard=$((heard + 1))
done
kill "$recorder"
recorder=
wait "$pipeline" || true
[ "$(cat "$dir/status")" -eq 0 ] || fail "dtmf-scan: exit $(cat "$dir/status"): $(cat "$dir/err")"
cat "$dir/out"
[ "$(cut -d' ' -f2 "$dir/out" | tr -d '\n')" = "15#" ] || fail "heard $(cat "$dir/out")"
echo "dtmf-scan live: ok"
