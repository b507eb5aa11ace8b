#!/bin/sh
# A DLL must export exactly the given names, undecorated, and import only
# system DLLs: KERNEL32, WINMM and the C runtime (msvcrt, or the universal C
# runtime), so that a host copies one file.
# Usage: dll_exports.sh OBJDUMP DLL NAME...
set -eu
objdump=$1
dll=$2
shift 2
dump=$("$objdump" -p "$dll")
exports=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' |
  sort | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
if [ "$exports" != "$expected" ]; then
  echo "$dll exports: $exports; expected: $expected" >&2
  exit 1
fi
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for import in $imports; do
  case "$import" in
    kernel32.dll | winmm.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *) echo "$dll imports $import; only system DLLs are allowed" >&2; exit 1 ;;
  esac
done
