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
# - With ZR_WINE_RUN_REPORT_AFTER=SECONDS (scripts/test-windows.sh sets it a little below the
#   shortest CTest time-out), a program still running then has the end of its output so far
#   and the state of every thread of the Wine and simulator processes written to standard
#   error, so that a test that CTest ends at its time-out shows where it was waiting.
set -u
wine=$1
shift
dir=$(mktemp -d "${TMPDIR:-/tmp}/zr-wine-run.XXXXXX") || exit 125
trap 'rm -rf "$dir"' EXIT
report_after=${ZR_WINE_RUN_REPORT_AFTER:-0}

# The processes of Wine and of the simulators, one line per thread: state, kernel wait
# channel, system call (number and arguments) and command line.
report() {
  echo "wine-run: $1 still running after ${report_after} s; the end of its output so far:"
  tail -n 30 "$dir/out" "$dir/err" 2>/dev/null
  echo "wine-run: the threads of Wine and the simulators (pid/tid state wait-channel system-call):"
  local p t cmd
  for p in /proc/[0-9]*; do
    cmd=$( (tr '\0' ' ' <"$p/cmdline") 2>/dev/null) || continue
    case $cmd in *wine* | *.exe* | *zr-handheld-sim* | *zr-sim-broker*) ;; *) continue ;; esac
    echo "  ${p#/proc/}: ${cmd:0:160}"
    for t in "$p"/task/[0-9]*; do
      echo "    ${t#"$p"/task/} $(awk '{print $3}' "$t/stat" 2>/dev/null) $(cat "$t/wchan" 2>/dev/null)" \
        "$(cut -d' ' -f1-3 "$t/syscall" 2>/dev/null)"
    done
  done
}

rc=0
for attempt in 1 2 3; do
  "$wine" "$@" >"$dir/out" 2>"$dir/err" </dev/null &
  pid=$!
  watch=
  if [ "$report_after" -gt 0 ] 2>/dev/null; then
    # The wait is bash's own (read on a FIFO that nobody writes), so ending the watcher
    # leaves no process behind holding CTest's output pipes.  It is ended with SIGKILL: one
    # that has not yet begun would otherwise run this script's clean-up on SIGTERM.
    mkfifo "$dir/never" 2>/dev/null
    (
      exec 9<>"$dir/never"
      read -r -t "$report_after" -u 9 || { kill -0 "$pid" 2>/dev/null && report "$1" >&2; }
    ) &
    watch=$!
  fi
  wait "$pid"
  rc=$?
  [ -n "$watch" ] && { kill -KILL "$watch" 2>/dev/null; wait "$watch" 2>/dev/null; }
  if [ "$rc" -eq 0 ] || [ -s "$dir/out" ] || [ -s "$dir/err" ]; then break; fi
  echo "wine-run: $1 ended with $rc before printing anything (start $attempt of 3)" >&2
done
cat "$dir/out"
cat "$dir/err" >&2
exit "$rc"
