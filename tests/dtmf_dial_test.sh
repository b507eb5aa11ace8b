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

"$tool" --help | grep -q '^Usage: dtmf-dial ' || fail "--help prints no usage"
if "$tool" >/dev/null 2>&1; then fail "accepted no DIGITS"; fi

out=$(TONEDIAL_PLAYBACK_FILE="$dir/dial.raw" ALSA_CONFIG_PATH="$tests/alsa-file-playback.conf" "$tool" '1# ')
[ "$out" = "sent: 1# " ] || fail "dial printed '$out'"
# Three units of 300 ms at 8000 frames/s, 2 bytes a frame.
size=$(stat -c %s "$dir/dial.raw")
[ "$size" -eq 14400 ] || fail "dial rendered $size bytes"

if ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" 1 >"$dir/out" 2>"$dir/err"; then
  fail "dialled without a playback device"
fi
grep -q '^dtmf-dial: cannot play on "default": cannot open it: ' "$dir/err" || fail "no clear message: $(cat "$dir/err")"
# alsa-lib's own lines come through the tool, prefixed, each once.
! grep -v '^dtmf-dial: ' "$dir/err" || fail "unprefixed messages"
[ -z "$(sort "$dir/err" | uniq -d)" ] || fail "repeated messages: $(sort "$dir/err" | uniq -d)"
[ ! -s "$dir/out" ] || fail "claimed to send: $(cat "$dir/out")"

# -D chooses the device, here where "default" has none; -o writes a WAV file.
out=$(ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" -D "file:{FILE \"$dir/chosen.raw\" FORMAT raw}" 12)
[ "$out" = "sent: 12" ] && [ "$(stat -c %s "$dir/chosen.raw")" -eq 9600 ] || fail "-D: '$out'"
out=$(ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" -o "$dir/tones.wav" '1# ')
[ "$out" = "sent: 1# " ] || fail "-o printed '$out'"
[ "$(soxi -r "$dir/tones.wav") $(soxi -c "$dir/tones.wav") $(soxi -s "$dir/tones.wav")" = "8000 1 7200" ] ||
  fail "-o wrote $(soxi "$dir/tones.wav")"
for target in "$dir/no/such/folder.wav" /dev/full; do
  if "$tool" -o "$target" 1 >"$dir/out" 2>"$dir/err"; then fail "-o $target: succeeded"; fi
  grep -q "^dtmf-dial: .*'$target'" "$dir/err" && [ ! -s "$dir/out" ] || fail "-o $target: $(cat "$dir/out" "$dir/err")"
done

# An empty string dials nothing; a long one, and units outside the alphabet
# (pauses), are dialled whole.
out=$(TONEDIAL_PLAYBACK_FILE="$dir/empty.raw" ALSA_CONFIG_PATH="$tests/alsa-file-playback.conf" "$tool" '')
[ "$out" = "sent: " ] || fail "empty dial printed '$out'"
[ ! -s "$dir/empty.raw" ] || fail "empty dial rendered sound"
long=$(head -c 2000 /dev/zero | tr '\0' '7')
TONEDIAL_PLAYBACK_FILE="$dir/long.raw" ALSA_CONFIG_PATH="$tests/alsa-file-playback.conf" "$tool" "${long} ~" >/dev/null
size=$(stat -c %s "$dir/long.raw")
[ "$size" -eq $((2002 * 4800)) ] || fail "long dial rendered $size bytes"
