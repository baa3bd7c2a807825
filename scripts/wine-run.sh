#!/usr/bin/env bash
# Runs one Windows test program under Wine for CTest (the cross build's emulator).
# Usage: wine-run.sh WINE PROGRAM [ARGUMENTS...]
#
# - The program's output goes through files and is passed on once it ends.  Programs it
#   starts, and Wine's own helper processes, inherit those files rather than CTest's output
#   pipes, so nothing left running can keep CTest waiting on a test that has ended.
# - A program that fails without having printed a single byte never reached its main (every
#   test program prints before it does anything else): Wine's own start-up failed.  It is
#   started again, at most twice, with a note on standard error.
set -u
wine=$1
shift
dir=$(mktemp -d "${TMPDIR:-/tmp}/zr-wine-run.XXXXXX") || exit 125
trap 'rm -rf "$dir"' EXIT
rc=0
for attempt in 1 2 3; do
  "$wine" "$@" >"$dir/out" 2>"$dir/err" </dev/null
  rc=$?
  if [ "$rc" -eq 0 ] || [ -s "$dir/out" ] || [ -s "$dir/err" ]; then break; fi
  echo "wine-run: $1 ended with $rc before printing anything (start $attempt of 3)" >&2
done
cat "$dir/out"
cat "$dir/err" >&2
exit "$rc"
