#!/bin/sh
# dtmf-dial.exe into dtmf-listen.exe through the private audio loopback,
# under Wine: the listener prints every key dialled, in order, and its block
# count at the end.
# Usage: windows_tools_test.sh WINE-RUN BIN-DIR
set -eu
run=$1
bin=$2
out=$(mktemp)
err=$(mktemp)
listen_err=$(mktemp)
trap 'rm -f "$out" "$err" "$listen_err"' EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$out" >&2
  exit 1
}
# Windows programs end their lines with CR LF.
keys() { tr -d '\r' <"$out" | awk '$1 != "blocks:" { printf "%s", $2 }'; }
# Wine finds its audio driver by connecting to the sound server when a
# process first opens a device; on a loaded machine that connection now and
# then fails, and winmm then says that no driver is installed. The dial is
# made again then, a few times at most; any other failure stands.
dial() {
  for attempt in 1 2 3; do
    if "$run" --realtime "$bin/dtmf-dial.exe" "$@" 2>"$err"; then
      return 0
    fi
    grep -q 'no driver installed' "$err" || break
    echo "windows_tools: Wine found no audio driver (attempt $attempt): dialling again" >&2
  done
  cat "$err" >&2
  return 1
}

listen() {
  "$run" --realtime "$bin/dtmf-listen.exe" --seconds 20 >"$out" 2>"$listen_err" &
  listener=$!
}
listen
listens=1
# Dial 5 until the listener hears it: the audio path runs end to end.
start=$(date +%s)
until [ -n "$(keys)" ]; do
  [ $(($(date +%s) - start)) -lt 15 ] || fail "no key came through the loopback"
  if ! kill -0 "$listener" 2>/dev/null; then
    status=0
    wait "$listener" || status=$?
    cat "$listen_err" >&2
    [ "$status" -ne 0 ] && [ "$listens" -lt 3 ] && grep -q 'no driver installed' "$listen_err" ||
      fail "dtmf-listen ended before any key, status $status"
    listen
    listens=$((listens + 1))
  fi
  dial 5 >/dev/null || fail "dtmf-dial failed"
done
# Then for a second without new keys, so that no late 5 follows.
heard_before=
until [ "$(keys)" = "$heard_before" ]; do
  heard_before=$(keys)
  sleep 1
done
[ "$(dial '1#*' | tr -d '\r')" = "sent: 1#*" ] || fail "dtmf-dial did not say what it sent"
wait "$listener" || { cat "$listen_err" >&2; fail "dtmf-listen failed"; }
case "$(keys)" in
  "$heard_before"'1#*') ;;
  *) fail "heard $(keys) after $heard_before, not 1#*" ;;
esac
tr -d '\r' <"$out" | grep -q '^blocks: [1-9][0-9]*$' || fail "no block count"
