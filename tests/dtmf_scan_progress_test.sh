#!/usr/bin/env bash
# dtmf-scan's progress bar in a 40-column terminal (a pseudo-terminal of
# script(1)): it counts the files finished, not the files printed, shows the
# rate and the time left once a second has passed, never reaches the last
# column, where a redraw would leave a wrapped line, and is not drawn with -q.
# usage: dtmf_scan_progress_test.sh PATH/TO/dtmf-scan
set -uo pipefail
scan=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { echo "FAIL: $*" >&2; exit 1; }

sox -r 8000 -c 2 -n -b 16 key.wav synth 0.15 sine 770 sine 1336 remix 1v0.316,2v0.316 pad 0.2 0.2
cp key.wav b.wav
cp key.wav c.wav
mkfifo first
# The first file is a FIFO that stays empty until the bar has shown the
# other three finished: its results hold back theirs, not their count.
script -q -f -c "stty cols 40 rows 10; '$scan' --jobs 4 first b.wav c.wav key.wav > /dev/null" terminal > /dev/null &
terminal=$!
shown='3/4 files  [0-9.]*x  [0-9]*:[0-9][0-9] left'
for _ in $(seq 400); do
  grep -q "$shown" terminal 2>/dev/null && break
  sleep 0.05
done
grep -q "$shown" terminal || { cat key.wav > first; wait "$terminal"; fail "no '$shown': $(tr '\r' '\n' < terminal | tail -3)"; }
cat key.wav > first
wait "$terminal" || fail "dtmf-scan under script: exit $?"

# Every drawing of the bar, between carriage returns, without the erase.
draws=$(tr '\r' '\n' < terminal | sed 's/\x1b\[K//g' | grep 'files')
[ -n "$draws" ] || fail "no bar drawn"
widest=$(awk '{ if (length($0) > w) w = length($0) } END { print w }' <<<"$draws")
[ "$widest" -le 39 ] || fail "a bar $widest columns wide in 40: $(awk 'length($0) > 39' <<<"$draws" | head -1)"
# A bar is drawn, unless -q, by the time the first file's results are written:
# here key.wav's, while the FIFO holds the scan open.
for quiet in "" -q; do
  rm -f first quiet.out
  mkfifo first
  script -q -f -c "'$scan' $quiet --json key.wav first > quiet.out" quiet.terminal > /dev/null &
  terminal=$!
  for _ in $(seq 400); do
    grep -q '"keys"' quiet.out 2>/dev/null && break
    sleep 0.05
  done
  cat key.wav > first
  wait "$terminal" || fail "dtmf-scan $quiet under script: exit $?"
  [ "$(grep -c '"keys"' quiet.out)" -eq 2 ] || fail "dtmf-scan $quiet: $(cat quiet.out)"
  if [ -n "$quiet" ]; then
    ! grep -q 'files' quiet.terminal || fail "-q: a bar drawn: $(tr '\r' '\n' < quiet.terminal | tail -1)"
  else
    grep -q '/2 files' quiet.terminal || fail "no bar drawn: $(tr '\r' '\n' < quiet.terminal | tail -1)"
  fi
done
echo "progress bar: ok"
