#!/usr/bin/env bash
# dtmf-scan on files whose headers or sizes do not tell the truth: a WAV past
# 4 GiB whose 32-bit sizes wrapped (scanned to its end, with a notice), a
# header with a nonsense rate (refused at once), and pseudo-files that say
# they are empty but hold data (read as streams).
# usage: dtmf_scan_odd_files_test.sh PATH/TO/dtmf-scan
set -uo pipefail
tool=$(realpath "$1")
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

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all dtmf-scan odd file checks passed"
