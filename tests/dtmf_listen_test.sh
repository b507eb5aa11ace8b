#!/usr/bin/env bash
# dtmf-listen as a user runs it: its options and start failure, then keys
# played into a private PulseAudio loopback, heard once each and in order.
set -euo pipefail
tool=$1
root=$2
dir=$(mktemp -d)
pulse_dir=
cleanup() {
  [ -n "$pulse_dir" ] && "$root/scripts/pulse-private" stop "$pulse_dir"
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" --help | grep -q -- '--seconds' || fail "--help does not explain --seconds"
status=0; "$tool" --bogus 2>"$dir/err" || status=$?
[ "$status" -eq 2 ] && grep -q "unknown option" "$dir/err" || fail "unknown option: status $status"
status=0; ALSA_CONFIG_PATH="$root/tests/alsa/missing.conf" "$tool" --seconds 1 >/dev/null 2>"$dir/err" || status=$?
[ "$status" -ne 0 ] && grep -q "code 1: could not open the capture device" "$dir/err" || fail "no device: status $status"

eval "$("$root/scripts/pulse-private" start)"
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
# The null sink's monitor can take a moment to deliver its first block.
sleep 1.5
paplay -d tonewatch_loop "$dir/keys.wav"
wait "$listener"
cat "$dir/out"
heard=$(awk 'NF == 2 && $1 != "blocks:" {printf "%s", $2}' "$dir/out")
[ "$heard" = "155#" ] || fail "heard '$heard', played '155#'"
blocks=$(awk '$1 == "blocks:" {print $2}' "$dir/out")
[ "${blocks:-0}" -gt 20 ] || fail "only ${blocks:-no} blocks in 4 s"
echo "dtmf-listen: ok"
