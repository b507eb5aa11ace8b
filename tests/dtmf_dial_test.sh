#!/bin/sh
# dtmf-dial as a user meets it: help, usage errors, a dial rendered through the
# project's ALSA file configuration, and a machine without a playback device.
# Usage: dtmf_dial_test.sh DTMF-DIAL TESTS-DIR
set -eu
tool=$1
tests=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$tool" --help | grep -q '^usage: dtmf-dial DIGITS' || fail "--help prints no usage"
if "$tool" >/dev/null 2>&1; then fail "accepted no DIGITS"; fi

out=$(TONEDIAL_PLAYBACK_FILE="$dir/dial.raw" ALSA_CONFIG_PATH="$tests/alsa-file-playback.conf" "$tool" '1# ')
[ "$out" = "sent: 1# " ] || fail "dial printed '$out'"
# Three units of 300 ms at 8000 frames/s, 2 bytes a frame.
size=$(stat -c %s "$dir/dial.raw")
[ "$size" -eq 14400 ] || fail "dial rendered $size bytes"

if ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" 1 >"$dir/out" 2>"$dir/err"; then
  fail "dialled without a playback device"
fi
grep -q '^dtmf-dial: no playback device' "$dir/err" || fail "no clear message: $(cat "$dir/err")"
[ ! -s "$dir/out" ] || fail "claimed to send: $(cat "$dir/out")"

# An empty string dials nothing; a long one, and units outside the alphabet
# (pauses), are dialled whole.
out=$(TONEDIAL_PLAYBACK_FILE="$dir/empty.raw" ALSA_CONFIG_PATH="$tests/alsa-file-playback.conf" "$tool" '')
[ "$out" = "sent: " ] || fail "empty dial printed '$out'"
[ ! -s "$dir/empty.raw" ] || fail "empty dial rendered sound"
long=$(head -c 2000 /dev/zero | tr '\0' '7')
TONEDIAL_PLAYBACK_FILE="$dir/long.raw" ALSA_CONFIG_PATH="$tests/alsa-file-playback.conf" "$tool" "${long} ~" >/dev/null
size=$(stat -c %s "$dir/long.raw")
[ "$size" -eq $((2002 * 4800)) ] || fail "long dial rendered $size bytes"
