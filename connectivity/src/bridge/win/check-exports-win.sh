#!/usr/bin/env bash
# Compares the names that a built QXConJNI.dll exports with the natives that javac's header
# declares.  Usage: check-exports-win.sh OBJDUMP HEADER DLL
set -euo pipefail
objdump=$1 header=$2 dll=$3
want=$(grep -oE 'JNICALL Java_[A-Za-z0-9_]+' "$header" | sed 's/^JNICALL //' | sort -u)
have=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
       | sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+([A-Za-z0-9_@]+)$/\1/p' | sort -u)
if [ -z "$want" ]; then
  echo "no natives found in $header"
  exit 1
fi
if [ "$want" != "$have" ]; then
  echo "exports differ from the natives (< header only, > DLL only):"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
echo "QXConJNI.dll exports exactly the $(echo "$want" | wc -l) natives of ConnectivityAPI"
