#!/usr/bin/env bash
# Runs the link library's test suite and its C client under valgrind's memcheck, in the
# release build (optimised, with debug information), and fails on any memory error in any
# process (the suite forks helpers; valgrind follows them, each with a log of its own):
# an invalid read or write, a use of an uninitialised value, a bad system-call argument,
# a block definitely lost.
#
# Usage: memcheck.sh [GTEST-FILTER]     (default: every test but those listed below)
# The logs land in build/release/memcheck/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh valgrind
bash scripts/build.sh release >/dev/null

# Tests that cannot pass under valgrind, which runs posix_spawn's child as a plain fork:
# a program that cannot be executed then seems to start (the failed exec never reaches
# the parent), so the refusal these tests expect does not come.
not_under_valgrind=(
  PlatformLayer.ProcessCallsRefuseWhatIsNoProcess
  Dhcp.ProgramThatCannotBeStartedGivesMinus2003AndCountsNothing
)
filter=${1:-"-$(IFS=:; echo "${not_under_valgrind[*]}")"}

dir=build/release
logs="$dir/memcheck"
rm -rf "$logs"
mkdir -p "$logs"
vg=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
    --show-leak-kinds=definite --track-origins=yes)
status=0
echo "=== memcheck: zr-net-tests ($filter) ==="
(cd "$dir" && "${vg[@]}" --log-file="memcheck/suite.%p.log" bin/zr-net-tests --gtest_brief=1 \
   --gtest_filter="$filter") || status=1
echo "=== memcheck: zr-net-c-client ==="
(cd "$dir" && "${vg[@]}" --log-file="memcheck/c-client.%p.log" bin/zr-net-c-client) || status=1

# Any error in any process fails the check.  A forked helper that execs another program or
# is killed ends its log without a summary, so the logs are searched for the errors
# themselves as well as for summaries that count some.
pattern='ERROR SUMMARY: [1-9]|Invalid (read|write|free)|uninitialised|Syscall param|definitely lost in|Mismatched free|overlap'
bad=$(grep -E -l "$pattern" "$logs"/*.log || true)
echo "memcheck: $(ls "$logs" | wc -l) process logs, $(grep -c 'ERROR SUMMARY: 0 errors' "$logs"/*.log | grep -c ':1$') with a clean summary, $(echo -n "$bad" | grep -c . || true) with errors"
for f in $bad; do
  echo "--- $f"
  grep -E -A12 "$pattern" "$f" | head -n 40
  status=1
done
exit $status
