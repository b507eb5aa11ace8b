#!/bin/sh
# A shared library must export exactly the given names, each in the version
# node NODE (NAME@@NODE), beside the node's own symbol.
# Usage: library_exports.sh LIBRARY NODE NAME...
set -eu
library=$1
node=$2
shift 2
exports=$(nm -D --defined-only "$library" | awk '{ print $3 }' | sort | tr '\n' ' ')
expected=$({ echo "$node"; printf "%s@@$node\n" "$@"; } | sort | tr '\n' ' ')
if [ "$exports" != "$expected" ]; then
  echo "$library exports: $exports; expected: $expected" >&2
  exit 1
fi
