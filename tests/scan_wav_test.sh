#!/usr/bin/env bash
# The example examples/scan_wav on key plans made by sox (an independent
# generator): 16-bit mono at 8000/s, 16-bit stereo at 44100/s, float mono at
# 48000/s. It must print every key once, in order, with the tone levels sox
# played, and the same presses (start and end) as dtmf-scan --json.
# usage: scan_wav_test.sh PATH/TO/scan_wav PATH/TO/dtmf-scan
set -euo pipefail
example=$(realpath "$1")
scan=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Each key a 70 ms tone pair at -10 dBFS per tone (remix halves each sine,
# vol 0.631 takes the rest), then 70 ms of silence.
keys='0123456789*#ABCD1'
pair() {
  case $1 in
    1) echo 697 1209 ;; 2) echo 697 1336 ;; 3) echo 697 1477 ;; A) echo 697 1633 ;;
    4) echo 770 1209 ;; 5) echo 770 1336 ;; 6) echo 770 1477 ;; B) echo 770 1633 ;;
    7) echo 852 1209 ;; 8) echo 852 1336 ;; 9) echo 852 1477 ;; C) echo 852 1633 ;;
    '*') echo 941 1209 ;; 0) echo 941 1336 ;; '#') echo 941 1477 ;; D) echo 941 1633 ;;
  esac
}
plan() { # RATE CHANNELS ENCODING BITS FILE
  local parts=() i low high
  for ((i = 0; i < ${#keys}; i++)); do
    read -r low high < <(pair "${keys:i:1}")
    sox -n -r "$1" -c "$2" -e "$3" -b "$4" "key$i.wav" synth 0.07 sine "$low" sine "$high" remix - \
      vol 0.631 pad 0 0.07 channels "$2"
    parts+=("key$i.wav")
  done
  sox -n -r "$1" -c "$2" -e "$3" -b "$4" lead.wav trim 0 0.1
  sox lead.wav "${parts[@]}" "$5"
}

for format in "8000 1 signed-integer 16" "44100 2 signed-integer 16" "48000 1 floating-point 32"; do
  read -r rate channels encoding bits <<<"$format"
  file=plan-$rate-$channels-$bits.wav
  plan "$rate" "$channels" "$encoding" "$bits" "$file"
  if ! "$example" "$file" >"$file.out" 2>"$file.err"; then
    fail "$file: scan_wav failed: $(cat "$file.err")"
    continue
  fi
  found=$(awk '{ printf "%s", $1 }' "$file.out")
  [ "$found" = "$keys" ] || fail "$file: keys $found, played $keys"
  awk '$4 < -11 || $4 > -9 || $5 < -11 || $5 > -9 || $4 != $4 + 0 || $5 != $5 + 0 { bad = bad " " $0 }
       END { if (bad != "") { print bad; exit 1 } }' "$file.out" >"$file.levels" ||
    fail "$file: tone levels not -10 dBFS:$(cat "$file.levels")"
  if ! "$scan" --detector=recording --json "$file" >"$file.json"; then
    fail "$file: dtmf-scan failed"
    continue
  fi
  sed -n 's/.*"time":\([0-9.]*\),"key":"\(.\)","end":\([0-9.]*\)}/\2 \1 \3/p' "$file.json" >"$file.scan"
  # Both print milliseconds, rounded each its own way.
  if ! paste -d' ' "$file.out" "$file.scan" | awk 'function off(a, b) { return a - b > 0.0011 || b - a > 0.0011 }
         NF != 8 || $1 != $6 || off($2, $7) || off($3, $8) { bad = 1 } END { exit bad }' ||
     [ "$(wc -l <"$file.out")" -ne "$(wc -l <"$file.scan")" ]; then
    fail "$file: presses differ from dtmf-scan's:"$'\n'"$(paste "$file.out" "$file.scan")"
  fi
done

# Not a WAV file, or one cut short: a message and status 1.
printf 'RIFF\0\0\0\0WAVEjunk' >bad.wav
head -c 3000 plan-8000-1-16.wav >short.wav
for file in bad.wav short.wav missing.wav; do
  status=0
  "$example" "$file" >/dev/null 2>"$file.err" || status=$?
  [ "$status" -eq 1 ] && [ -s "$file.err" ] || fail "$file: status $status, message '$(cat "$file.err")'"
done

[ "$failures" -eq 0 ] && echo "scan_wav: all checks passed"
exit $((failures > 0))
