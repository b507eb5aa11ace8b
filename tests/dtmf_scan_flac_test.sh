#!/usr/bin/env bash
# dtmf-scan on FLAC that is not whole: written by a pipe encoder, which gives
# no length (read to its end, exit 0), with a damaged frame (skipped with a
# notice, every press printed at its time, exit 1), from a file read in
# order, in parts, and on standard input, with both detectors; and cut short
# (the press held at the cut printed).
# usage: dtmf_scan_flac_test.sh PATH/TO/dtmf-scan
set -uo pipefail
tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Keys 1, 5, 1 (150 ms tone pairs, 200 ms of silence around each) with quiet
# noise between the first two: 6 s of it, or 150 s, long enough to be read
# in parts.
key() {  # low high out
  sox -r 8000 -c 2 -n -b 16 "$3" synth 0.15 sine "$1" sine "$2" remix 1v0.316,2v0.316 pad 0.2 0.2
}
key 697 1209 k1.wav
key 770 1336 k5.wav
for seconds in 6 150; do
  sox -r 8000 -c 1 -n -b 16 noise.wav synth "$seconds" whitenoise vol 0.003
  sox k1.wav noise.wav k5.wav k1.wav "keys$seconds.wav"
  sox "keys$seconds.wav" "keys$seconds.flac"
  # A pipe encoder that cannot know the length writes 0 for it.
  sox "keys$seconds.wav" -t raw - | sox -t raw -r 8000 -c 1 -b 16 -e signed - -t flac - | cat > "nolength$seconds.flac"
  # The 36-bit total sample count ends STREAMINFO (bytes 22-25 hold its low 32 bits).
  [ "$(od -A n -t x1 -j 22 -N 4 "nolength$seconds.flac" | tr -d ' ')" = 00000000 ] ||
    fail "nolength$seconds.flac: the encoder wrote a length"
  # 100 bytes from the middle of the audio overwritten.
  cp "keys$seconds.flac" "damaged$seconds.flac"
  size=$(stat -c %s "damaged$seconds.flac")
  head -c 100 /dev/zero | tr '\0' 'U' | dd of="damaged$seconds.flac" bs=1 seek=$((size / 2)) conv=notrunc status=none
done

for detector in library recording; do
  for seconds in 6 150; do
    expected=$("$tool" --detector=$detector "keys$seconds.flac")
    [ "$(echo "$expected" | awk '{print $2}' | tr -d '\n')" = 151 ] ||
      { fail "$detector keys$seconds.flac: '$expected'"; continue; }
    for jobs in 1 2; do
      what="$detector --jobs $jobs"
      out=$("$tool" --detector=$detector --jobs $jobs "nolength$seconds.flac" 2>err) ||
        fail "$what nolength$seconds.flac: exit $?: $(cat err)"
      [ "$out" = "$expected" ] || fail "$what nolength$seconds.flac: '$out'"
      out=$("$tool" --detector=$detector --jobs $jobs "damaged$seconds.flac" 2>err)
      rc=$?
      [ "$rc" -eq 1 ] || fail "$what damaged$seconds.flac: exit $rc"
      [ "$out" = "$expected" ] || fail "$what damaged$seconds.flac: '$out'"
      grep -q "^dtmf-scan: damaged$seconds.flac: damaged audio at [0-9:.]* \(s \)\?could not be decoded; [0-9.]* s of it skipped" err ||
        fail "$what damaged$seconds.flac: no notice of the gap: $(cat err)"
      grep -q "^dtmf-scan: damaged$seconds.flac: file is damaged" err ||
        fail "$what damaged$seconds.flac: not said to be damaged: $(cat err)"
    done
    out=$(cat "nolength$seconds.flac" | "$tool" --detector=$detector - 2>err) ||
      fail "$detector nolength$seconds.flac on a pipe: exit $?: $(cat err)"
    [ "$out" = "$expected" ] || fail "$detector nolength$seconds.flac on a pipe: '$out'"
    out=$(cat "damaged$seconds.flac" | "$tool" --detector=$detector - 2>err)
    rc=$?
    [ "$rc" -eq 1 ] || fail "$detector damaged$seconds.flac on a pipe: exit $rc"
    [ "$out" = "$expected" ] || fail "$detector damaged$seconds.flac on a pipe: '$out'"
  done
done

# Cut short in the noise after the first key: the key held when the
# decoding stopped is printed too.
head -c $(($(stat -c %s keys6.flac) / 2)) keys6.flac > cut.flac
for detector in library recording; do
  out=$("$tool" --detector=$detector cut.flac 2>err)
  rc=$?
  [ "$rc" -eq 1 ] || fail "$detector cut.flac: exit $rc"
  [ "$(awk '{print $2}' <<<"$out")" = 1 ] || fail "$detector cut.flac: '$out'"
  grep -q "^dtmf-scan: cut.flac: file is truncated" err || fail "$detector cut.flac: '$(cat err)'"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all dtmf-scan FLAC checks passed"
