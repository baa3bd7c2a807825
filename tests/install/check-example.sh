#!/usr/bin/env bash
# The library guide's example program, built against the build tree as C and as C++: the
# guide quotes its source and its CMake project as they are; with addresses it lists the
# simulators that answer and names the silent ones (exit 0, or 3 when none answered, 2 for
# a bad address); without, it lists what discovery finds, here in a private network
# namespace whose loopback holds 172.16.0.1/30 and a simulator on 172.16.0.2.
#
# Usage: check-example.sh C_PROGRAM CXX_PROGRAM SIMULATOR SOURCE_DIR
#        check-example.sh --discovery C_PROGRAM SIMULATOR SOURCE_DIR   (inside the namespace)
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
# run PROGRAM ARGS...: the program's output in $out, its exit status in $status.
run() { status=0; out=$("$@" 2>&1) || status=$?; printf '%s\n' "$out"; }

if [ "$1" = --discovery ]; then
  example=$2 sim_program=$3 src=$4
  . "$src/scripts/sim-lib.sh"
  sim_workspace
  start_sim "$sim_program" "$work/sim.out" "$work/sim.err" --addr 172.16.0.2 --set name=FOUND
  run "$example"
  [ "$status" = 0 ] && grep -Eq '^172\.16\.0\.2 +FOUND ' <<<"$out" || fail "discovery did not list the simulator"
  exit 0
fi

example=$1 example_cxx=$2 sim_program=$3 src=$4
. "$src/scripts/sim-lib.sh"
sim_workspace

# quoted FILE: the fenced block that follows the line "<!-- quoted: FILE -->" in the guide.
quoted() {
  awk -v mark="<!-- quoted: $1 -->" '
    $0 == mark { found = 1; next }
    found == 1 && /^```/ { found = 2; next }
    found == 2 && /^```$/ { exit }
    found == 2 { print }' "$src/docs/library.md"
}
for f in docs/examples/list-handhelds.c docs/examples/CMakeLists.txt; do
  diff -u "$src/$f" <(quoted "$f") >&2 || fail "docs/library.md does not quote $f as it is"
done

addr=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
silent=127.$((RANDOM % 30 + 225)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
start_sim "$sim_program" "$work/sim.out" "$work/sim.err" --addr "$addr" --set name=EXAMPLE \
  --set eid=EXAMPLE-0001 --set bat=57
line="^${addr//./\\.} +EXAMPLE +EXAMPLE-0001 +battery 57%$"

run "$example" "$addr"
[ "$status" = 0 ] && grep -Eq "$line" <<<"$out" || fail "the C build did not list the simulator (status $status)"
run "$example_cxx" "$silent" "$addr"
[ "$status" = 0 ] && grep -Eq "$line" <<<"$out" || fail "the C++ build did not list the simulator (status $status)"
grep -Eq "^$silent +not answering" <<<"$out" || fail "the silent address was not named"
run "$example" "$silent"
[ "$status" = 3 ] && grep -q '^no handheld answered$' <<<"$out" || fail "no handheld answered, yet status $status"
run "$example" 300.1.2.3
[ "$status" = 2 ] || fail "a bad address gave status $status"

status=0
"$src/app/tests/in-netns.sh" 172.16.0.1/30 172.16.0.2/32 -- \
  bash "$0" --discovery "$example" "$sim_program" "$src" || status=$?
case $status in
  0) ;;
  77) echo "discovery not checked: no private network namespace here" ;;
  *) fail "discovery in a private network namespace (status $status)" ;;
esac
echo "the example lists handhelds by address and by discovery, built as C and as C++"
