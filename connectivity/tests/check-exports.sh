#!/usr/bin/env bash
# Compares the dynamic symbols that a built libzr-net.so defines with the functions that
# zr-net.h declares.  Usage: check-exports.sh zr-net.h libzr-net.so
set -euo pipefail
header=$1 lib=$2
want=$(grep -oE '^ZR_API [^(]*\(' "$header" | sed -E 's/.*[ *]([A-Za-z0-9_]+)\($/\1/' | sort -u)
have=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sed 's/@.*//' \
       | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u)
if [ "$want" != "$have" ]; then
  echo "exports differ from the header (< header only, > library only):"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
echo "libzr-net.so exports exactly the $(echo "$want" | wc -l) functions of zr-net.h"
