#!/usr/bin/env bash
# dtmf-listen as a user runs it: its options, the reason a start failed, keys
# from a device chosen on the command line, then keys played into a private
# loopback (SERVER: pulse-private or pipewire-private), heard once each and in
# order, the loopback's server dying under it, and the server frozen (SIGSTOP)
# before the start, during it and while listening. Exits 77 (skipped) when
# the server is not installed.
set -euo pipefail
tool=$1
root=$2
server=$3
dir=$(mktemp -d)
pulse_dir=
group=
cleanup() {
  [ -n "$group" ] && kill -CONT -- "-$group" 2>/dev/null
  [ -n "$pulse_dir" ] && "$root/scripts/$server" stop "$pulse_dir"
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" --help | grep -q -- '--seconds' || fail "--help does not explain --seconds"
status=0; "$tool" --bogus 2>"$dir/err" || status=$?
[ "$status" -eq 2 ] && grep -q "^dtmf-listen: invalid option '--bogus'" "$dir/err" || fail "unknown option: status $status"

# A failed start says why, in one line of its own: none of alsa-lib's.
status=0; ALSA_CONFIG_PATH="$root/tests/alsa/missing.conf" "$tool" --seconds 1 >/dev/null 2>"$dir/err" || status=$?
[ "$status" -eq 1 ] || fail "no device: status $status"
[ "$(cat "$dir/err")" = 'dtmf-listen: cannot capture from "default": cannot open it: No such file or directory (start returned 1)' ] ||
  fail "no device: $(cat "$dir/err")"

# -D names the device: here "default" reads a file holding a 5, and a name
# that is no device fails by that name.
export ALSA_CONFIG_PATH="$root/tests/alsa/file.conf" TONEWATCH_TEST_INFILE="$dir/five.raw"
sox -r 4000 -c 2 -n -b 16 -e signed -t raw - synth 0.25 sine 770 sine 1336 remix 1v0.25,2v0.25 pad 0.25 0.25 \
  >"$TONEWATCH_TEST_INFILE"
status=0; "$tool" -D tonewatch_no_such_pcm -d 1 >/dev/null 2>"$dir/err" || status=$?
[ "$status" -eq 1 ] && grep -q '^dtmf-listen: cannot capture from "tonewatch_no_such_pcm"' "$dir/err" ||
  fail "-D: status $status, $(cat "$dir/err")"
"$tool" -D default --json --seconds 0.5 >"$dir/out"
grep -qx '{"time":[0-9]*\.[0-9]\{3\},"key":"5"}' "$dir/out" && grep -qx '{"blocks":[1-9][0-9]*}' "$dir/out" ||
  fail "--json: $(cat "$dir/out")"
unset ALSA_CONFIG_PATH TONEWATCH_TEST_INFILE

exports=$("$root/scripts/$server" start) || exit $?
eval "$exports"
pulse_dir=$TONEWATCH_PULSE_DIR
parts=()
for key in "1 697 1209" "5 770 1336" "5 770 1336" "# 941 1477"; do
  set -- $key
  parts+=("$dir/k${#parts[@]}.wav")
  sox -n -r 48000 -b 16 -c 2 "${parts[-1]}" synth 0.15 sine "$2" sine "$3" remix - vol 0.25 pad 0 0.15
done
sox "${parts[@]}" "$dir/keys.wav"

"$tool" --seconds 4 >"$dir/out" &
listener=$!
# Keys are played as soon as the tool's stream is on the loopback, with no
# wait for its first block.
for _ in $(seq 200); do
  pactl list short source-outputs 2>/dev/null | grep -q . && break
  sleep 0.01
done
paplay -d tonewatch_loop "$dir/keys.wav"
wait "$listener"
cat "$dir/out"
heard=$(awk 'NF == 2 && $1 != "blocks:" {printf "%s", $2}' "$dir/out")
[ "$heard" = "155#" ] || fail "heard '$heard', played '155#'"
blocks=$(awk '$1 == "blocks:" {print $2}' "$dir/out")
[ "${blocks:-0}" -gt 20 ] || fail "only ${blocks:-no} blocks in 4 s"

# The recording detector: each press with its start and end. The first may
# be cut: an idle loopback starts delivering with the sound that wakes it.
"$tool" --detector=recording --seconds 4 >"$dir/out" &
listener=$!
for _ in $(seq 200); do
  pactl list short source-outputs 2>/dev/null | grep -q . && break
  sleep 0.01
done
paplay -d tonewatch_loop "$dir/keys.wav"
wait "$listener"
cat "$dir/out"
heard=$(awk 'NF == 3 {printf "%s", $2}' "$dir/out")
[ "$heard" = "155#" ] || fail "recording detector: heard '$heard', played '155#'"
awk 'NF == 3 && ++n > 1 { d = $3 - $1; if (d < 0.14 || d > 0.16) bad = 1 } END { exit bad }' "$dir/out" ||
  fail "recording detector: presses not 150 ms long"

# Milliseconds since the epoch.
now_ms() { date +%s%3N; }
freeze() { kill -STOP -- "-$group"; }
thaw() { kill -CONT -- "-$group"; }
group=$(cat "$pulse_dir/pid")

# A server frozen before the start: the tool gives up within seconds, saying
# that the server did not answer; a signal during that start ends it at once.
freeze
started=$(now_ms)
status=0; "$tool" --seconds 20 >"$dir/out" 2>"$dir/err" || status=$?
took=$(($(now_ms) - started))
[ "$status" -eq 1 ] && grep -q '^dtmf-listen: cannot capture from "default": the sound server did not answer' "$dir/err" &&
  [ "$took" -lt 8000 ] || fail "frozen server: status $status after $took ms, $(cat "$dir/err")"
started=$(now_ms)
status=0; "$tool" --detector=recording --seconds 20 >"$dir/out" 2>"$dir/err" || status=$?
took=$(($(now_ms) - started))
[ "$status" -eq 1 ] && grep -q '^dtmf-listen: cannot capture from "default": the sound server did not answer' "$dir/err" &&
  [ "$took" -lt 8000 ] || fail "frozen server, recording detector: status $status after $took ms, $(cat "$dir/err")"
"$tool" --seconds 20 >/dev/null 2>&1 &
listener=$!
sleep 0.5
started=$(now_ms)
kill -TERM "$listener"
status=0; wait "$listener" || status=$?
took=$(($(now_ms) - started))
[ "$status" -eq 143 ] && [ "$took" -lt 1000 ] || fail "SIGTERM during a frozen start: status $status after $took ms"
thaw

# The server freezes while dtmf-listen listens: the stop still returns, and
# the missing audio is an error.
"$tool" --seconds 8 >"$dir/out" 2>"$dir/err" &
listener=$!
for _ in $(seq 20); do
  grep -q . "$dir/out" && break
  paplay -d tonewatch_loop "${parts[0]}"
done
grep -q . "$dir/out" || fail "server frozen: no key heard before the server was frozen"
freeze
started=$(now_ms)
status=0; wait "$listener" || status=$?
took=$(($(now_ms) - started))
thaw
[ "$status" -eq 1 ] && grep -q '^dtmf-listen: capture stopped delivering audio' "$dir/err" && [ "$took" -lt 10000 ] ||
  fail "server frozen while listening: status $status after $took ms, $(cat "$dir/out" "$dir/err")"

# The server dies while dtmf-listen listens: an error, not a short count.
"$tool" --seconds 8 >"$dir/out" 2>"$dir/err" &
listener=$!
# Listening once a key played is heard: a record stream alone may still be the
# tool's probe of the device, before the library has opened it.
for _ in $(seq 20); do
  grep -q . "$dir/out" && break
  paplay -d tonewatch_loop "${parts[0]}"
done
grep -q . "$dir/out" || fail "server gone: no key heard before the server was stopped"
"$root/scripts/$server" stop "$pulse_dir"
pulse_dir=
group=
status=0; wait "$listener" || status=$?
[ "$status" -eq 1 ] && grep -q '^dtmf-listen: capture stopped delivering audio' "$dir/err" ||
  fail "server gone: status $status, $(cat "$dir/out" "$dir/err")"
echo "dtmf-listen: ok"
