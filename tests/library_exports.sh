#!/bin/sh
# A shared library must export exactly the given names, undecorated.
# Usage: library_exports.sh LIBRARY NAME...
set -eu
library=$1
shift
exports=$(nm -D --defined-only "$library" | awk '{ print $3 }' | sort | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
if [ "$exports" != "$expected" ]; then
  echo "$library exports: $exports; expected: $expected" >&2
  exit 1
fi
