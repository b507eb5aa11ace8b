#!/usr/bin/env bash
# The tools' command lines behave as Debian's audio tools do: --help and
# --version, usage errors on stderr prefixed with the tool's name, exit
# status 2 and nothing done, "--" ending the options. No audio device is
# touched: "default" playback is a file of our own and nothing captures.
# usage: tool_options_test.sh TOOLS-DIR TESTS-DIR
set -uo pipefail
tools=$(realpath "$1")
tests=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export ALSA_CONFIG_PATH=$tests/alsa-file-playback.conf TONEDIAL_PLAYBACK_FILE=$work/played.raw

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in dtmf-listen dtmf-dial dtmf-scan dtmf-redact dtmf-roundtrip; do
  "$tools/$tool" --help > out 2> err
  rc=$?
  [ "$rc" -eq 0 ] && head -1 out | grep -q "^Usage: $tool " && [ ! -s err ] || fail "$tool --help: exit $rc, '$(head -1 out)'"
  "$tools/$tool" --version > out 2> err
  rc=$?
  [ "$rc" -eq 0 ] && grep -qx "$tool (Tonewatch) [0-9.]*" out || fail "$tool --version: exit $rc, '$(cat out err)'"
  "$tools/$tool" --help > /dev/full 2> err
  rc=$?
  [ "$rc" -eq 1 ] && grep -q "^$tool: write error" err || fail "$tool --help > /dev/full: exit $rc"
done

# Each line: a tool and its arguments, which are a usage error.
while read -r tool args; do
  # shellcheck disable=SC2086
  "$tools/$tool" $args < /dev/null > out 2> err
  rc=$?
  [ "$rc" -eq 2 ] && grep -q "^$tool: " err && [ ! -s out ] || fail "'$tool $args': exit $rc, '$(cat out err)'"
done <<'EOF'
dtmf-dial --bogus
dtmf-dial -x 1
dtmf-dial
dtmf-dial 1 2
dtmf-dial -D
dtmf-dial -D pcm -o out.wav 1
dtmf-dial -o out.mp3 1
dtmf-roundtrip --bogus 12
dtmf-roundtrip -x
dtmf-listen --bogus
dtmf-listen extra
dtmf-listen -d
dtmf-listen --seconds 0
dtmf-listen --seconds=x
dtmf-scan --bogus x.wav
dtmf-scan
dtmf-scan --jobs
dtmf-scan -j 0 x.wav
dtmf-scan --raw-rate x x.raw
dtmf-scan --raw-channels 2 x.raw
dtmf-scan - -
dtmf-scan -0 x.wav
dtmf-scan --files-from - -
dtmf-scan --files-from missing.list
dtmf-redact
dtmf-redact x.wav
dtmf-redact x.wav x.wav
dtmf-redact x.wav y.wav z.wav
dtmf-redact --in-place -
dtmf-redact -d out -
dtmf-redact -d out --in-place x.wav
dtmf-redact -j 0 -d out x.wav
dtmf-redact --guard 1001 x.wav y.wav
dtmf-redact --fill=hum x.wav y.wav
dtmf-redact --output-format=mp4 x.wav y.wav
EOF
[ ! -e played.raw ] || fail "a usage error or --version dialled"

# Short options with their value attached, long ones with "=", and "--"
# before operands that start with '-'.
sox -r 8000 -c 2 -n -b 16 ./-k.wav synth 0.15 sine 770 sine 1336 remix 1v0.316,2v0.316 pad 0.2 0.2
out=$("$tools/dtmf-scan" -j1 --jobs=1 -- -k.wav 2>&1) || fail "dtmf-scan -j1 -- -k.wav: '$out'"
[ "$out" = "0.200 5" ] || fail "dtmf-scan -j1 -- -k.wav: '$out'"
out=$("$tools/dtmf-dial" -- -1 2>&1) || fail "dtmf-dial -- -1: '$out'"
[ "$out" = "sent: -1" ] && [ "$(stat -c %s played.raw)" -eq 9600 ] || fail "dtmf-dial -- -1: '$out'"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all command-line checks passed"
