#!/usr/bin/env bash
# The manual pages tools/*.1 are help2man's rendering of each tool's --help
# and --version: this fails when one no longer matches its tool, and with
# --update rewrites them.
# usage: man_pages_test.sh SOURCE-DIR TOOL-DIR [--update]
set -euo pipefail
source_dir=$1
tool_dir=$2
update=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A names=(
  [dtmf-listen]="print the DTMF key presses heard on an ALSA capture device"
  [dtmf-dial]="dial a string of DTMF digits as tones"
  [dtmf-scan]="find DTMF key presses in recordings"
  [dtmf-roundtrip]="dial DTMF digits into a loopback and check that each is heard"
)

# Comments (help2man's version) and the title line (a date) may differ.
body() { grep -v -e '^\.\\"' -e '^\.TH ' "$1"; }

stale=0
for tool in "${!names[@]}"; do
  page=$source_dir/tools/$tool.1
  help2man --no-info --section=1 --name="${names[$tool]}" \
    --include="$source_dir/tools/man.h2m" --output="$work/$tool.1" "$tool_dir/$tool"
  if [ "$update" = --update ]; then
    cp "$work/$tool.1" "$page"
  elif [ ! -f "$page" ] || ! diff -u <(body "$page") <(body "$work/$tool.1"); then
    echo "FAIL: $page does not match '$tool --help'; run $0 $source_dir $tool_dir --update" >&2
    stale=1
  fi
done
exit "$stale"
