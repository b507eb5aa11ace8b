#!/usr/bin/env bash
# dtmf-scan's output byte for byte (standard output, standard error and exit
# status) against goldens in scan_golden/, for each detector chosen by name:
# key plans under the test conditions (fixed seeds, made afresh at each run
# by key_plan_wav and sox -R), several files at once in text and JSON with
# one job and four (the same output), FLAC, 44100/s stereo, 16000/s,
# 11025/s and float 48000/s copies of one plan, raw input, standard input,
# one channel of a two-sided call, a long recording read in parts, and files
# that cannot be read among good ones.
#
# The library detector's goldens were printed by dtmf-scan as it was before
# it became a client of libtonescan, so that this holds the block analysis
# to its earlier output, but for the files that cannot be read: the presses
# before a FLAC's or a WAV's cut are now printed, and a file that neither libsndfile nor
# FFmpeg reads is named with its first bytes. The recording detector's come from the press
# tracker that hears keys over a background and merges same-key presses
# under 30 ms apart: it gives other presses than the earlier tracker on
# some of these plans, as meant.
#
# Any difference is a change of behaviour: explain it, then rewrite the
# goldens from the dtmf-scan given with --update. The corpus also rests on
# sox (its conversions) and the messages on libsndfile and FFmpeg: a new release of
# either may move a line without any change of ours.
# usage: dtmf_scan_golden_test.sh PATH/TO/dtmf-scan PATH/TO/key_plan_wav [--update]
set -uo pipefail
scan=$(realpath "$1")
plan=$(realpath "$2")
update=${3:-}
golden=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/scan_golden
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export LC_ALL=C

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The corpus: CONDITION PRESSES-PER-KEY SEED FILE [TONE-MS PAUSE-MS].
plans=(
  "40 ms|2|1|short.wav"
  "-40 dBFS|1|2|quiet.wav"
  "0 dBFS clipped|1|3|clipped.wav|120|130"
  "noise 6 dB SNR|1|4|noisy.wav|150|150"
  "twist -8 dB|1|5|twist.wav|150|130"
  "+1.5%|1|6|mistuned.wav|150|130"
  "+3.5%|1|7|no_key.wav|150|130"
  "three tones|1|8|three.wav"
  "8000/s stereo|1|9|stereo_8000.wav|70|70"
  "44100/s|1|10|mono_44100.wav|130|130"
  "u-law|1|11|ulaw.wav|150|130"
  "GSM 06.10 150 ms|1|12|gsm.wav"
  "AMR-NB 7.4|1|13|amr.wav"
  "music 10 dB under|1|14|music.wav"
  "hum 50 Hz -10 dB|1|15|hum.wav"
  "-25 dBFS, DC +10 dB|1|16|offset.wav"
  "lost frames 2%|1|17|lost.wav"
  "echo 30 ms -10 dB|1|18|echo.wav"
  "noise 0 dB SNR|1|19|noise_0db.wav|200|150"
  "hum 60 Hz -10 dB|1|20|call.wav|180|150"
  "twist +6 dB|1|21|other_side.wav|150|150"
)
files=()
for p in "${plans[@]}"; do
  IFS='|' read -r condition per_key seed file tone pause <<<"$p"
  "$plan" "$condition" "$per_key" "$seed" "$file" ${tone:+"$tone" "$pause"} || fail "key_plan_wav '$condition' failed"
  files+=("$file")
done

# Copies of one plan in other formats; -R: dither with a fixed seed.
sox -R call.wav call.flac
sox -R call.wav -r 44100 -c 2 call_44100_stereo.wav
sox -R call.wav -r 16000 call_16000.flac
sox -R call.wav -r 11025 call_11025.wav
sox -R call.wav -r 48000 -e floating-point -b 32 call_float_48000.wav
sox -R call.wav -t raw -e signed -b 16 -L call.raw
sox -R call.wav -r 16000 -c 2 -t raw -e signed -b 16 -L call_16000_stereo.raw
files+=(call.flac call_44100_stereo.wav call_16000.flac call_11025.wav call_float_48000.wav)
# A call with one side on each channel, and the plan 70 s into 155 s of
# quiet noise, where a scan in parts cuts it.
sox -R -M call.wav other_side.wav two_sided.wav
sox -R -r 8000 -c 1 -n -b 16 quiet_noise.wav synth 156 whitenoise vol 0.005
sox -R call.wav call_at_70.wav pad 70 80
sox -R -m -v 1 call_at_70.wav -v 1 quiet_noise.wav long.wav trim 0 155
# Files that cannot be read.
: > empty.wav
echo "not audio at all" > corrupt.wav
head -c 20000 call.flac > truncated.flac
head -c 30000 call.wav > truncated.wav
# JSON adds each press's end (recording) or the blocks read (library): a
# few files show it.
json_files=(short.wav clipped.wav stereo_8000.wav music.wav offset.wav lost.wav call_float_48000.wav)
bad=(empty.wav call.flac corrupt.wav truncated.flac missing.wav truncated.wav call_16000.flac)

declare -A written=()
# Runs dtmf-scan with the detector and arguments, standard input from
# $input, and checks what it printed against the golden NAME; several runs
# may share one golden, which --update then writes from the first.
check() {  # detector name args...
  local detector=$1 name=$2 rc
  shift 2
  "$scan" --detector="$detector" "$@" < "${input:-/dev/null}" > out 2> err
  rc=$?
  { echo "exit $rc"; echo "--- stdout"; cat out; echo "--- stderr"; cat err; } > record
  local expected=$golden/$detector/$name.txt
  if [ "$update" = --update ] && [ -z "${written[$expected]:-}" ]; then
    mkdir -p "$golden/$detector"
    cp record "$expected"
    written[$expected]=1
  elif ! diff -u "$expected" record > diff.out; then
    fail "dtmf-scan --detector=$detector $*: differs from $expected:"
    head -40 diff.out >&2
  fi
}

for detector in library recording; do
  for jobs in 1 4; do
    check "$detector" files --jobs "$jobs" "${files[@]}"
    check "$detector" files_json --jobs "$jobs" --json "${json_files[@]}"
    check "$detector" long --jobs "$jobs" long.wav
    check "$detector" long_json --jobs "$jobs" --json long.wav
    check "$detector" bad --jobs "$jobs" "${bad[@]}"
    check "$detector" bad_json --jobs "$jobs" --json "${bad[@]}"
  done
  check "$detector" one_file call.wav
  input=call.flac check "$detector" stdin -
  input=call.flac check "$detector" stdin_json --json -
  check "$detector" raw --raw-rate 8000 call.raw
  check "$detector" raw_stereo_json --json --raw-rate=16000 --raw-channels 2 call_16000_stereo.raw
  check "$detector" channel_1 --channel=1 two_sided.wav
  check "$detector" channel_2_json --json --channel 2 two_sided.wav
  check "$detector" channel_3 --channel=3 two_sided.wav
done

if [ "$failures" -ne 0 ]; then
  [ "$update" = --update ] || echo "if the change is meant, run bash $0 $1 $2 --update" >&2
  echo "$failures check(s) failed" >&2
  exit 1
fi
if [ "$update" = --update ]; then
  echo "goldens rewritten in $golden"
else
  echo "all dtmf-scan golden checks passed"
fi
