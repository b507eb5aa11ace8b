#!/usr/bin/env bash
# Tonedial into Tonewatch through a private PulseAudio loopback: every key
# dialled is heard once and in order, repeats included.
set -euo pipefail
tool=$1
root=$2
pulse_dir=
trap '[ -n "$pulse_dir" ] && "$root/scripts/pulse-private" stop "$pulse_dir"' EXIT
eval "$("$root/scripts/pulse-private" start)"
pulse_dir=$TONEWATCH_PULSE_DIR
"$tool" "0123456789*#ABCD" "1122#" "d 9a*"
