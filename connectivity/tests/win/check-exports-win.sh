#!/usr/bin/env bash
# Compares the names that a built zr-net.dll exports with the functions that zr-net.h
# declares.  Usage: check-exports-win.sh OBJDUMP zr-net.h zr-net.dll
set -euo pipefail
objdump=$1 header=$2 dll=$3
want=$(grep -oE '^ZR_API [^(]*\(' "$header" | sed -E 's/.*[ *]([A-Za-z0-9_]+)\($/\1/' | sort -u)
# The export table lists "[ordinal] name" lines after "[Ordinal/Name Pointer] Table".
have=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
       | sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+([A-Za-z0-9_]+)$/\1/p' | sort -u)
if [ "$want" != "$have" ]; then
  echo "exports differ from the header (< header only, > DLL only):"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
echo "zr-net.dll exports exactly the $(echo "$want" | wc -l) functions of zr-net.h"
