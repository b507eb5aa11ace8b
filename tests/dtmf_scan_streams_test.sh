#!/usr/bin/env bash
# dtmf-scan loses nothing: pipes, FIFOs and devices read to their end and
# printed as they are read, WAV headers without a length or cut short, NaN
# samples, write errors, names that could forge a line, and files that claim
# many channels.
# usage: dtmf_scan_streams_test.sh PATH/TO/dtmf-scan
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

# Keys 1, 5, 1: 150 ms tone pairs at -10 dBFS per tone, each with 200 ms of
# silence before and after; sox writes the WAV file (44-byte header).
key() {  # low high out
  sox -r 8000 -c 2 -n -b 16 "$3" synth 0.15 sine "$1" sine "$2" remix 1v0.316,2v0.316 pad 0.2 0.2
}
key 697 1209 k1.wav
key 770 1336 k5.wav
sox k1.wav k5.wav k1.wav good.wav
sox good.wav -t raw good.raw
expected=$'0.188 1\n0.750 5\n1.313 1'

# The same audio with its data length field (bytes 40-43) replaced.
with_length() {  # hex-bytes out
  { head -c 40 good.wav; printf "$1"; tail -c +45 good.wav; } > "$2"
}
with_length '\xf0\xff\xff\xff' placeholder.wav
with_length '\x00\x00\x00\x00' unfinished.wav

# Anything that is not a regular file is a stream, read to its end.
out=$("$scan" --raw-rate 8000 <(cat good.raw) 2>err) || fail "raw through a pipe: exit $?: $(cat err)"
[ "$out" = "$expected" ] || fail "raw through a pipe: '$out'"
for wav in placeholder.wav unfinished.wav good.wav; do
  rm -f fifo && mkfifo fifo
  cat "$wav" > fifo &
  out=$("$scan" fifo 2>err) || fail "$wav through a FIFO: exit $?: $(cat err)"
  [ "$out" = "$expected" ] || fail "$wav through a FIFO: '$out'"
  out=$("$scan" - < <(cat "$wav") 2>err) || fail "$wav on a pipe: exit $?: $(cat err)"
  [ "$out" = "$expected" ] || fail "$wav on a pipe: '$out'"
  if [ "$wav" = unfinished.wav ]; then
    grep -q "^dtmf-scan: <stdin>: the WAV header gives no length" err || fail "$wav on a pipe: no notice: $(cat err)"
  fi
done
# A device: never-ending, so still reading when stopped.
timeout 2 "$scan" --raw-rate 8000 /dev/zero > zero.out
rc=$?
[ "$rc" -eq 124 ] || fail "/dev/zero: exit $rc before it was stopped: $(cat zero.out)"

# A regular file whose header gives no length: the audio that is there.
out=$("$scan" unfinished.wav 2>err) || fail "unfinished.wav: exit $?"
[ "$out" = "$expected" ] || fail "unfinished.wav: '$out'"
grep -q "^dtmf-scan: unfinished.wav: the WAV header gives no length" err || fail "unfinished.wav: $(cat err)"

# Truncation found from the file's size, however many chunks come first.
perl -e '
  my $fmt = pack("vvVVvv", 1, 1, 8000, 16000, 2, 16);
  my $body = "WAVEfmt " . pack("V", 16) . $fmt;
  $body .= "junk" . pack("V", 8) . ("\0" x 8) for 1 .. 200;
  $body .= "data" . pack("V", 1600000) . ("\0" x 16000);
  print "RIFF", pack("V", length($body) + 1600000 - 16000), $body;' > junk.wav
"$scan" junk.wav > /dev/null 2> err
rc=$?
[ "$rc" -eq 1 ] && grep -q "^dtmf-scan: junk.wav: file is truncated: header promises 1600000 bytes of audio, file holds 16000" err ||
  fail "200 chunks before a cut data chunk: exit $rc, '$(cat err)'"

# Float samples: NaN every 100 samples and an infinity every 1000 lose nothing.
perl -e '
  open(my $in, "<:raw", "good.raw") or die; local $/; my @s = unpack("s<*", <$in>);
  my @f = map { $_ / 32768 } @s;
  for (my $i = 0; $i < @f; $i += 100) { $f[$i] = 9**9**9 / 9**9**9 }
  for (my $i = 50; $i < @f; $i += 1000) { $f[$i] = -9**9**9 }
  my $data = pack("f<*", @f);
  my $body = "WAVEfmt " . pack("VvvVVvv", 16, 3, 1, 8000, 32000, 4, 32) . "data" . pack("V", length $data) . $data;
  print "RIFF", pack("V", length $body), $body;' > nan.wav
out=$("$scan" nan.wav 2>err) || fail "NaN samples: exit $?: $(cat err)"
[ "$out" = "$expected" ] || fail "NaN samples: '$out'"

# Results that cannot be written are an error.
for target in /dev/full closed; do
  if [ "$target" = closed ]; then
    "$scan" good.wav >&- 2> err
  else
    "$scan" good.wav > "$target" 2> err
  fi
  rc=$?
  [ "$rc" -eq 1 ] && grep -q "^dtmf-scan: write error: " err || fail "stdout $target: exit $rc, '$(cat err)'"
done

# A name holding a newline cannot forge a result line.
cp good.wav "$(printf 'forged\n0.000 9')"
"$scan" --jobs 1 good.wav "$(printf 'forged\n0.000 9')" > names.out 2> err
[ "$(wc -l < names.out)" -eq 6 ] || fail "names: $(cat names.out)"
grep -qx '"forged\\n0.000 9": 0.750 5' names.out || fail "names: no quoted name in: $(cat names.out)"

# A 64 KB file claiming 1024 channels needs no more memory than another.
perl -e '
  my $body = "WAVEfmt " . pack("VvvVVvv", 16, 1, 1024, 8000, 8000 * 2048, 2048, 16) . "data" . pack("V", 65536) . ("\0" x 65536);
  print "RIFF", pack("V", length $body), $body;' > wide.wav
cp wide.wav wide2.wav
/usr/bin/time -f %M -o rss "$scan" --jobs 2 wide.wav wide2.wav > /dev/null 2> err || fail "wide.wav: $(cat err)"
[ "$(cat rss)" -lt 100000 ] || fail "two files of 1024 channels took $(cat rss) KB"

# Live: each press is printed as soon as its block is read, while the writer
# still holds the pipe open; text and JSON alike.
for mode in text json; do
  rm -f live_in live_out && mkfifo live_in live_out
  args=(--raw-rate 8000 -)
  [ "$mode" = json ] && args=(--json "${args[@]}")
  "$scan" "${args[@]}" < live_in > live_out &
  exec 3> live_in 4< live_out
  sox k1.wav -t raw - >&3
  if IFS= read -r -t 20 line <&4; then
    case $mode in
      text) [ "$line" = "0.188 1" ] || fail "live text: '$line'" ;;
      json) [ "$line" = '{"file":"<stdin>","time":0.188,"key":"1"}' ] || fail "live json: '$line'" ;;
    esac
  else
    fail "live $mode: no press while the stream was open"
  fi
  exec 3>&- 4<&-
  wait
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all dtmf-scan stream checks passed"
