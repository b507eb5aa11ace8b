#!/usr/bin/env bash
# dtmf-dial on a private loopback (SERVER: pulse-private or pipewire-private)
# whose server fails: killed 2 s into the tones of a 20-digit dial, the tool
# names the digits not played and exits 1; frozen (SIGSTOP) before or during
# a dial, it gives up within seconds saying so, and a signal ends it at once. Exits 77 (skipped) when the
# server is not installed.
# usage: dtmf_dial_live_test.sh DTMF-DIAL SOURCE-DIR SERVER
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
now_ms() { date +%s%3N; }

start_server() {
  local exports
  exports=$("$root/scripts/$server" start) || exit $?
  eval "$exports"
  pulse_dir=$TONEWATCH_PULSE_DIR
  group=$(cat "$pulse_dir/pid")
}

# Waits up to 20 s until the dial's stream is on the server.
wait_for_stream() {
  for _ in $(seq 400); do
    [ "$(pactl list short sink-inputs 2>/dev/null | wc -l)" -gt 0 ] && return 0
    sleep 0.05
  done
  fail "the dial never reached the server"
}

digits=01234567890123456789
start_server
out=$("$tool" 1#) || fail "a dial on a working server failed"
[ "$out" = "sent: 1#" ] || fail "dial printed '$out'"

# Killed 2 s into the tones: the probe's stream comes and goes first, so the
# dial's own is the one still there a moment later.
"$tool" "$digits" >"$dir/out" 2>"$dir/err" &
dial=$!
wait_for_stream
sleep 0.5
wait_for_stream
sleep 2
kill -KILL -- "-$group"
group=
status=0; wait "$dial" || status=$?
[ "$status" -eq 1 ] && [ ! -s "$dir/out" ] || fail "server killed: status $status, $(cat "$dir/out" "$dir/err")"
played=$(sed -n 's/.*: \([0-9]*\) of 20 characters played; not played: \([0-9]*\)$/\1 \2/p' "$dir/err")
set -- $played
[ $# -eq 2 ] && [ "$1" -ge 1 ] && [ "$1" -lt 20 ] && [ "$2" = "${digits:$1}" ] ||
  fail "server killed: $(cat "$dir/err")"
"$root/scripts/$server" stop "$pulse_dir"
pulse_dir=

# Frozen before the dial, and during one.
start_server
kill -STOP -- "-$group"
started=$(now_ms)
status=0; "$tool" 1 >"$dir/out" 2>"$dir/err" || status=$?
took=$(($(now_ms) - started))
[ "$status" -eq 1 ] && grep -q '^dtmf-dial: cannot play on "default": the sound server did not answer' "$dir/err" &&
  [ "$took" -lt 5000 ] || fail "frozen server: status $status after $took ms, $(cat "$dir/err")"
# A signal while it waits for the frozen server ends it at once.
"$tool" 1 >/dev/null 2>&1 &
dial=$!
sleep 0.5
started=$(now_ms)
kill -TERM "$dial"
status=0; wait "$dial" || status=$?
took=$(($(now_ms) - started))
[ "$status" -eq 143 ] && [ "$took" -lt 1000 ] || fail "SIGTERM with a frozen server: status $status after $took ms"
kill -CONT -- "-$group"
"$tool" "$digits" >"$dir/out" 2>"$dir/err" &
dial=$!
wait_for_stream
sleep 0.5
wait_for_stream
sleep 2
kill -STOP -- "-$group"
started=$(now_ms)
status=0; wait "$dial" || status=$?
took=$(($(now_ms) - started))
kill -CONT -- "-$group"
[ "$status" -eq 1 ] && grep -q 'characters played; not played: ' "$dir/err" && [ "$took" -lt 6000 ] ||
  fail "server frozen during the dial: status $status after $took ms, $(cat "$dir/out" "$dir/err")"
echo "dtmf-dial on $server: ok"
