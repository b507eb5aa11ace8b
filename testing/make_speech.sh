#!/usr/bin/env bash
# Synthetic speech for measuring talk-off: espeak-ng reading made-up sentences
# (syllables, numbers, punctuation) in many languages, voices, speeds and
# pitches. Each utterance is brought to a peak of 0 dBFS and followed by a
# short pause. Writes headerless signed 16-bit little-endian mono PCM at
# 8000/s; the same seed gives the same audio.
#
#   make_speech.sh OUT MINUTES [SEED]
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 OUT MINUTES [SEED]" >&2
  exit 2
fi
out=$1
minutes=$2
RANDOM=${3:-1}

languages=(en-us en-gb en-gb-scotland de fr-fr es es-419 it pt pt-br nl sv da nb fi is pl cs sk hu ro hr sl
           lt lv et sw id ms vi tr eo la cy af ga cmn-latn-pinyin haw mi)
variants=(m1 m2 m3 m4 m5 m6 m7 f1 f2 f3 f4 f5 croak klatt klatt2 klatt3 grandma grandpa norbert
          anika steph linda john max michel pablo whisper)
onsets=(b d f g h k l m n p r s t v w z ch sh th j y br tr kl st)
vowels=(a e i o u a e i o u ai ei ou ee oo aa ie ua)
codas=("" "" "" n m r s l t k ng)

# No command substitution below: a subshell would reseed $RANDOM.
pick() {
  local -n list=$1
  REPLY=${list[RANDOM % ${#list[@]}]}
}

# Appends a sentence to $text.
sentence() {
  local words=$((3 + RANDOM % 12)) w s
  for ((w = 0; w < words; w++)); do
    if ((RANDOM % 9 == 0)); then
      text+="$((RANDOM % 10000)) "
      continue
    fi
    for ((s = 0; s < 1 + RANDOM % 4; s++)); do
      pick onsets; text+=$REPLY
      pick vowels; text+=$REPLY
      pick codas; text+=$REPLY
    done
    ((RANDOM % 8 == 0)) && text+=","
    text+=" "
  done
  case $((RANDOM % 4)) in
    0) text+="? " ;;
    1) text+="! " ;;
    *) text+=". " ;;
  esac
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/speech.raw"
target=$((minutes * 60 * 8000 * 2))
while (($(stat -c %s "$work/speech.raw") < target)); do
  pick languages; voice=$REPLY
  pick variants; voice+="+$REPLY"
  text=""
  sentence; sentence; sentence
  espeak-ng -v "$voice" -s $((80 + RANDOM % 300)) -p $((RANDOM % 100)) -w "$work/utterance.wav" "$text"
  sox -R -V1 "$work/utterance.wav" -r 8000 -c 1 -b 16 -e signed -t raw "$work/utterance.raw" \
      gain -n 0 pad 0 "0.$((1 + RANDOM % 5))"
  cat "$work/utterance.raw" >>"$work/speech.raw"
done
mv "$work/speech.raw" "$out"
