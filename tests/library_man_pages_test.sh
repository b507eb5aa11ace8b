#!/bin/sh
# A library's manual page renders without a warning from man or groff, fits
# 80 columns, and names, declares and describes every function of its
# header (whatis and `man FUNCTION` find it by the names).
# Usage: library_man_pages_test.sh PAGE FUNCTION...
set -eu
page=$1
shift
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "$page: $warnings" >&2
  exit 1
fi
wide=$(MANWIDTH=80 man -l "$page" 2>/dev/null | awk 'length > 80')
if [ -n "$wide" ]; then
  echo "$page: lines wider than 80 columns:" >&2
  echo "$wide" >&2
  exit 1
fi
names=$(lexgrog "$page" | sed -n 's/^[^"]*"\([^ ]*\) - .*/\1/p')
text=$(MANWIDTH=200 man -l "$page" 2>/dev/null)
synopsis=$(echo "$text" | awk '/^SYNOPSIS/ { on = 1; next } /^[A-Z]/ { on = 0 } on')
description=$(echo "$text" | awk '/^DESCRIPTION/ { on = 1; next } /^[A-Z]/ { on = 0 } on')
for function in "$@"; do
  echo "$names" | grep -qx "$function" || { echo "$page: $function is not in the NAME section" >&2; exit 1; }
  echo "$synopsis" | grep -q "[ *]$function(" || { echo "$page: $function is not in the SYNOPSIS" >&2; exit 1; }
  echo "$description" | grep -q "$function()" || { echo "$page: DESCRIPTION does not describe $function()" >&2; exit 1; }
done
