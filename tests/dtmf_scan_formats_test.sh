#!/usr/bin/env bash
# dtmf-scan on what libsndfile cannot read, made by ffmpeg and sox from a key
# plan: AAC in M4A, G.722, G.729 (in WAV and headerless), Opus in WebM, AMR-NB
# and -WB, the audio track of MP4 and MKV video and each of two tracks by
# --stream, named and through a pipe; a truncated M4A, a video without audio
# and random bytes; FFmpeg loaded only when needed, and a library without its
# FFmpeg reader.
# usage: dtmf_scan_formats_test.sh PATH/TO/dtmf-scan WITH_FFMPEG(0|1)
set -uo pipefail
scan=$(realpath "$1")
with_ffmpeg=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Each key a 150 ms tone pair at -10 dBFS per tone, then a pause; times of
# the tone starts in seconds.
keys='1235590*#AD774B'
pauses=(0.15 0.15 0.2 0.15 0.4 0.15 0.15 0.3 0.15 0.15 0.15 0.15 0.2 0.15 0.15)
lead=0.2
tone=0.15
times=()
t=$lead
for ((i = 0; i < ${#keys}; i++)); do
  times+=("$t")
  t=$(awk -v a="$t" -v b="$tone" -v c="${pauses[i]}" 'BEGIN { print a + b + c }')
done

pair() {
  case $1 in
    1) echo 697 1209 ;; 2) echo 697 1336 ;; 3) echo 697 1477 ;; A) echo 697 1633 ;;
    4) echo 770 1209 ;; 5) echo 770 1336 ;; 6) echo 770 1477 ;; B) echo 770 1633 ;;
    7) echo 852 1209 ;; 8) echo 852 1336 ;; 9) echo 852 1477 ;; C) echo 852 1633 ;;
    '*') echo 941 1209 ;; 0) echo 941 1336 ;; '#') echo 941 1477 ;; D) echo 941 1633 ;;
  esac
}

parts=(lead.wav)
sox -r 16000 -c 1 -n lead.wav trim 0 "$lead"
for ((i = 0; i < ${#keys}; i++)); do
  read -r low high < <(pair "${keys:i:1}")
  sox -D -r 16000 -c 2 -n "key$i.wav" synth "$tone" sine "$low" sine "$high" remix 1v0.316,2v0.316
  sox -r 16000 -c 1 -n "pause$i.wav" trim 0 "${pauses[i]}"
  parts+=("key$i.wav" "pause$i.wav")
done
sox "${parts[@]}" plan.wav

if [ "$with_ffmpeg" != 1 ]; then
  echo "built without FFmpeg: only the refusal is checked"
  printf 'ftypM4A \0\0\0\0' > refused.m4a
  "$scan" refused.m4a 2> refused.err
  rc=$?
  [ "$rc" -eq 1 ] && grep -q "refused.m4a: not a readable audio file" refused.err || fail "refused: exit $rc, '$(cat refused.err)'"
  exit $((failures > 0))
fi
if ! command -v ffmpeg > /dev/null; then
  echo "SKIP: no ffmpeg to make the files"
  exit 77
fi

# Checks "TIME KEY" lines on stdin against the played keys and times.
check_presses() {  # label
  local label=$1 found_keys="" n=0 time key
  while read -r time key; do
    found_keys+=$key
    if [ "$n" -lt "${#times[@]}" ] &&
      ! awk -v a="$time" -v b="${times[n]}" 'BEGIN { d = a - b; exit !(d < 0.03 && d > -0.03) }'; then
      fail "$label: press $n ($key) at $time, played at ${times[n]}"
    fi
    n=$((n + 1))
  done
  [ "$found_keys" = "$keys" ] || fail "$label: found '$found_keys', played '$keys'"
}

encode() { ffmpeg -nostdin -loglevel error -y "$@"; }
video=(-f lavfi -i testsrc=size=160x120:rate=10 -i plan.wav -shortest -c:v mpeg4)
# Each line: the file, then how it is made.
while read -r file how; do
  case $how in
    aac) encode -i plan.wav -c:a aac "$file" ;;
    g722) encode -i plan.wav -c:a g722 "$file" ;;
    opus) encode -i plan.wav -c:a libopus "$file" ;;
    video-aac) encode "${video[@]}" -c:a aac "$file" ;;
    video-vorbis) encode "${video[@]}" -c:a libvorbis "$file" ;;
    amr-nb) sox plan.wav -r 8000 -t amr-nb -C 7 "$file" ;;
  esac || { fail "$file: could not be made"; continue; }
  "$scan" "$file" > "$file.out" 2> "$file.err"
  rc=$?
  [ "$rc" -eq 0 ] && [ ! -s "$file.err" ] || fail "$file: exit $rc, '$(cat "$file.err")'"
  check_presses "$file" < "$file.out"
done <<'LIST'
call.m4a aac
call_g722.wav g722
call.webm opus
call.mp4 video-aac
call.mkv video-vorbis
call.amr amr-nb
LIST
# G.729 in WAV (format tag 0x0083) by Belledonne's encoder.
cat > g729.c <<'C'
#include <stdint.h>
#include <stdio.h>
#include <bcg729/encoder.h>
static void le(uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) putchar((int)((v >> (8 * i)) & 0xFF));
}
#include <string.h>
/* With "raw": the bare 10-byte frames, no WAV header. */
int main(int argc, char** argv) {
    static uint8_t data[1 << 20];
    uint32_t size = 0;
    int16_t frame[80];
    bcg729EncoderChannelContextStruct* encoder = initBcg729EncoderChannel(0);
    while (fread(frame, sizeof frame, 1, stdin) == 1 && size + 10 <= sizeof data) {
        uint8_t length = 0;
        bcg729Encoder(encoder, frame, data + size, &length);
        size += length;
    }
    closeBcg729EncoderChannel(encoder);
    if (argc > 1 && strcmp(argv[1], "raw") == 0) return fwrite(data, 1, size, stdout) == size ? 0 : 1;
    fputs("RIFF", stdout); le(36 + size, 4); fputs("WAVEfmt ", stdout); le(16, 4);
    le(0x0083, 2); le(1, 2); le(8000, 4); le(1000, 4); le(10, 2); le(0, 2);
    fputs("data", stdout); le(size, 4);
    fwrite(data, 1, size, stdout);
    return 0;
}
C
if cc -o g729 g729.c -lbcg729 2> /dev/null; then
  sox plan.wav -r 8000 -t raw -e signed -b 16 -L - | ./g729 > call_g729.wav
  "$scan" call_g729.wav 2> g729.err | check_presses call_g729.wav
  [ ! -s g729.err ] || fail "call_g729.wav: '$(cat g729.err)'"
else
  echo "G.729 not checked: no G.729 encoder (libbcg729-dev) to make it"
fi

# Headerless bitstreams, known by their names alone: G.722 as ffmpeg writes
# it, G.729 at 8 kbit/s by the encoder above; the same bytes under another
# name are refused.
encode -i plan.wav -c:a g722 -f g722 call.g722 || fail "call.g722: could not be made"
cp call.g722 call_g722.bin
[ -x g729 ] && sox plan.wav -r 8000 -t raw -e signed -b 16 -L - | ./g729 raw > call.g729
for file in call.g722 call.g729; do
  [ -s "$file" ] || continue
  "$scan" "$file" 2> "$file.err" | check_presses "$file"
  [ ! -s "$file.err" ] || fail "$file: '$(cat "$file.err")'"
done
"$scan" call_g722.bin > /dev/null 2>&1 && fail "call_g722.bin: read without a name saying G.722"

# A container's audio streams by number: a video whose first track holds the
# plan and whose second, shorter one key; both end before the video does.
sox -n -r 16000 -c 1 one_key.wav synth 0.2 sine 941 sine 1477 gain -10 pad 0.5 0.3
encode -f lavfi -i testsrc=size=160x120:rate=10:duration=7 -i plan.wav -i one_key.wav -map 0:v -map 1:a -map 2:a \
  -c:v mpeg4 -c:a libvorbis tracks.mkv || fail "tracks.mkv: could not be made"
"$scan" --stream 1 tracks.mkv 2> tracks1.err | check_presses "tracks.mkv --stream 1"
[ ! -s tracks1.err ] || fail "tracks.mkv --stream 1: '$(cat tracks1.err)'"
out=$("$scan" --stream 2 tracks.mkv 2> tracks2.err)
[ ! -s tracks2.err ] && awk '{ exit !(NR == 1 && $2 == "#" && $1 > 0.47 && $1 < 0.53) } END { exit NR != 1 }' <<< "$out" ||
  fail "tracks.mkv --stream 2: '$out', '$(cat tracks2.err)'"
while IFS='|' read -r file stream expect; do
  "$scan" --stream "$stream" "$file" > /dev/null 2> "$file.$stream.err"
  rc=$?
  [ "$rc" -eq 1 ] && grep -q "$file: $expect" "$file.$stream.err" || fail "$file --stream $stream: exit $rc, '$(cat "$file.$stream.err")'"
done <<'LIST'
tracks.mkv|3|has no audio stream 3, only 2
plan.wav|2|has no audio stream 2, only 1
LIST

# Through a pipe: read whole, then decoded as the named files are.
for file in call.m4a call_g722.wav call.amr; do
  [ -s "$file" ] && cat "$file" | "$scan" - | check_presses "$file through a pipe"
done
# AMR-WB (23.85 kbit/s, pauses as comfort noise) by VisualOn's encoder, as
# neither ffmpeg nor sox here encodes it.
cat > amrwb.c <<'C'
#include <stdio.h>
#include <vo-amrwbenc/enc_if.h>
int main(void) {
    void* state = E_IF_init();
    short speech[320];
    unsigned char out[64];
    fputs("#!AMR-WB\n", stdout);
    while (fread(speech, sizeof speech, 1, stdin) == 1) {
        fwrite(out, 1, (size_t)E_IF_encode(state, 8, speech, out, 1), stdout);
    }
    E_IF_exit(state);
    return 0;
}
C
if cc -o amrwb amrwb.c -lvo-amrwbenc 2> /dev/null; then
  sox plan.wav -t raw -e signed -b 16 -L - | ./amrwb > wide.amr
  "$scan" wide.amr 2> wide.err | check_presses wide.amr
  [ ! -s wide.err ] || fail "wide.amr: '$(cat wide.err)'"
else
  echo "AMR-WB not checked: no VisualOn encoder (libvo-amrwbenc-dev) to make it"
fi

# Files cut short: the presses before the cut, then the error and exit 1.
encode -i plan.wav -c:a aac -movflags +faststart indexed.m4a
size=$(stat -c %s indexed.m4a)
head -c $((size / 2)) indexed.m4a > cut.m4a
"$scan" cut.m4a > cut.out 2> cut.err
rc=$?
[ "$rc" -eq 1 ] && grep -q "cut.m4a: file is truncated" cut.err || fail "cut.m4a: exit $rc, '$(cat cut.err)'"
[ -s cut.out ] && [ "$(awk '{ printf "%s", $2 }' cut.out)" = "${keys:0:$(wc -l < cut.out)}" ] ||
  fail "cut.m4a: presses before the cut: '$(tr '\n' ' ' < cut.out)'"

# Neither reads it: one line on what was found and what to try, exit 1.
encode -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mpeg4 silent.mp4
head -c 4000 call.m4a > unindexed.m4a
head -c 20000 /dev/urandom > noise.bin
while IFS='|' read -r file expect; do
  "$scan" "$file" > /dev/null 2> "$file.err"
  rc=$?
  [ "$rc" -eq 1 ] && [ "$(wc -l < "$file.err")" -eq 1 ] && grep -q "$file: not a readable audio file: $expect" "$file.err" ||
    fail "$file: exit $rc, '$(cat "$file.err")'"
done <<'LIST'
silent.mp4|a QuickTime / MOV file with no audio stream
unindexed.m4a|FFmpeg finds a QuickTime / MOV file but cannot open it
noise.bin|neither libsndfile .* nor FFmpeg knows its format; it starts with .*--raw-rate
LIST

# FFmpeg's libraries are loaded only for what libsndfile cannot read; a
# library without its FFmpeg reader says what to install, named or piped.
LD_DEBUG=files "$scan" plan.wav 2> loaded_wav.txt > /dev/null
grep -q libavformat loaded_wav.txt && fail "plan.wav: FFmpeg's libraries loaded for a WAV"
LD_DEBUG=files "$scan" call.m4a 2> loaded_m4a.txt > /dev/null
grep -q libavformat loaded_m4a.txt || fail "call.m4a: FFmpeg's libraries not loaded (LD_DEBUG says nothing?)"
library=$(ldd "$scan" | awk '/libtonescan\.so/ { print $3 }')
mkdir alone && cp "$library" alone/
for input in named piped; do
  if [ "$input" = named ]; then
    LD_LIBRARY_PATH=alone "$scan" call.m4a > /dev/null 2> alone.err
  else
    cat call.m4a | LD_LIBRARY_PATH=alone "$scan" - > /dev/null 2> alone.err
  fi
  rc=$?
  [ "$rc" -eq 1 ] && [ "$(wc -l < alone.err)" -eq 1 ] &&
    grep -q "not a readable audio file: libsndfile cannot read it (.*) and FFmpeg's reader is not there (.*tonescan/ffmpeg.so.*); install libtonescan0" alone.err ||
    fail "call.m4a $input, no FFmpeg reader: exit $rc, '$(cat alone.err)'"
done

cat noise.bin | "$scan" - > /dev/null 2> piped_noise.err
rc=$?
[ "$rc" -eq 1 ] && [ "$(wc -l < piped_noise.err)" -eq 1 ] && grep -q "nor FFmpeg knows its format" piped_noise.err ||
  fail "noise through a pipe: exit $rc, '$(cat piped_noise.err)'"

[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures > 0))
