#!/usr/bin/env bash
# Tonedial into Tonewatch through a private loopback (SERVER: pulse-private or
# pipewire-private): every key dialled is heard once and in order, repeats
# included. Exits 77 (skipped) when the server is not installed.
set -euo pipefail
tool=$1
root=$2
server=$3
pulse_dir=
trap '[ -n "$pulse_dir" ] && "$root/scripts/$server" stop "$pulse_dir"' EXIT
exports=$("$root/scripts/$server" start) || exit $?
eval "$exports"
pulse_dir=$TONEWATCH_PULSE_DIR
"$tool" "0123456789*#ABCD" "1122#" "d 9a*"
