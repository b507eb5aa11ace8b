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
# One line of its own: none of alsa-lib's.
[ "$(wc -l <"$dir/err")" -eq 1 ] && grep -q '^dtmf-dial: cannot play on "default": cannot open it: ' "$dir/err" ||
  fail "no clear message: $(cat "$dir/err")"
[ ! -s "$dir/out" ] || fail "claimed to send: $(cat "$dir/out")"

# -D chooses the device, here where "default" has none; -o writes a WAV file.
out=$(ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" -D "file:{FILE \"$dir/chosen.raw\" FORMAT raw}" 12)
[ "$out" = "sent: 12" ] && [ "$(stat -c %s "$dir/chosen.raw")" -eq 9600 ] || fail "-D: '$out'"
out=$(ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" -o "$dir/tones.wav" '1# ')
[ "$out" = "sent: 1# " ] || fail "-o printed '$out'"
[ "$(soxi -r "$dir/tones.wav") $(soxi -c "$dir/tones.wav") $(soxi -s "$dir/tones.wav")" = "8000 1 7200" ] ||
  fail "-o wrote $(soxi "$dir/tones.wav")"
# The format follows the extension; "-" is WAV on standard output, with no
# "sent" line in the audio. Each file holds the same samples.
for name in tones.flac tones.ogg TONES.WAV; do
  out=$(ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" -o "$dir/$name" '1# ')
  [ "$out" = "sent: 1# " ] || fail "-o $name printed '$out'"
done
[ "$(soxi -t "$dir/tones.flac") $(soxi -s "$dir/tones.flac")" = "flac 7200" ] || fail "-o tones.flac wrote $(soxi "$dir/tones.flac")"
[ "$(soxi -t "$dir/tones.ogg") $(soxi -r "$dir/tones.ogg")" = "vorbis 8000" ] || fail "-o tones.ogg wrote $(soxi "$dir/tones.ogg")"
cmp -s "$dir/TONES.WAV" "$dir/tones.wav" || fail "-o TONES.WAV differs from tones.wav"
[ "$(sox "$dir/tones.flac" -t raw - | md5sum)" = "$(sox "$dir/tones.wav" -t raw - | md5sum)" ] || fail "FLAC samples differ"
ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" -o - '1# ' >"$dir/stdout.wav"
cmp -s "$dir/stdout.wav" "$dir/tones.wav" || fail "-o - wrote $(soxi "$dir/stdout.wav" 2>&1)"
ALSA_CONFIG_PATH="$tests/alsa-no-playback.conf" "$tool" -o - 12 | sox -t wav - -t raw "$dir/piped.raw"
[ "$(stat -c %s "$dir/piped.raw")" -eq 9600 ] || fail "-o - through a pipe: $(stat -c %s "$dir/piped.raw") bytes"
for name in tones.mp3 tones noext.d/x; do
  status=0; "$tool" -o "$dir/$name" 1 >"$dir/out" 2>"$dir/err" || status=$?
  [ "$status" -eq 2 ] && grep -q "^dtmf-dial: cannot tell the format of '$dir/$name'" "$dir/err" && [ ! -e "$dir/$name" ] ||
    fail "-o $name: status $status, $(cat "$dir/err")"
done

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
