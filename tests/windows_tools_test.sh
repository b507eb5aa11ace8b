#!/bin/sh
# dtmf-dial.exe into dtmf-listen.exe through the private audio loopback,
# under Wine: the listener prints every key dialled, in order, and its block
# count at the end.
# Usage: windows_tools_test.sh WINE-RUN BIN-DIR
set -eu
run=$1
bin=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$out" >&2
  exit 1
}
# Windows programs end their lines with CR LF.
keys() { tr -d '\r' <"$out" | awk '$1 != "blocks:" { printf "%s", $2 }'; }

"$run" --realtime "$bin/dtmf-listen.exe" --seconds 20 >"$out" &
listener=$!
# Dial 5 until the listener hears it: the audio path runs end to end.
start=$(date +%s)
until [ -n "$(keys)" ]; do
  [ $(($(date +%s) - start)) -lt 15 ] || fail "no key came through the loopback"
  "$run" --realtime "$bin/dtmf-dial.exe" 5 >/dev/null
done
# Then for a second without new keys, so that no late 5 follows.
heard_before=
until [ "$(keys)" = "$heard_before" ]; do
  heard_before=$(keys)
  sleep 1
done
[ "$("$run" --realtime "$bin/dtmf-dial.exe" '1#*' | tr -d '\r')" = "sent: 1#*" ] || fail "dtmf-dial did not say what it sent"
wait "$listener" || fail "dtmf-listen failed"
case "$(keys)" in
  "$heard_before"'1#*') ;;
  *) fail "heard $(keys) after $heard_before, not 1#*" ;;
esac
tr -d '\r' <"$out" | grep -q '^blocks: [1-9][0-9]*$' || fail "no block count"
