#!/bin/sh
# libtonedial.so must export PhoneDTMF, undecorated, and nothing else.
set -eu
exports=$(nm -D --defined-only "$1" | awk '{ print $3 }' | sort)
if [ "$exports" != "PhoneDTMF" ]; then
  echo "$1 exports:" $exports >&2
  exit 1
fi
