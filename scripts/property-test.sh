#!/usr/bin/env bash
# Runs the property test of zrlink pull, sync and mount (tools/zr-cli/tests/test_zrlink_property.cpp)
# longer than the test suite does: fresh seeds, and every fault planned for each seed's runs
# (cuts at each line boundary of each reply and inside lines, resets, stalls, lying sizes;
# one stall of each seed lasts until zrlink gives up).
#
# Usage: property-test.sh [SECONDS | --count N]    (default: 600 seconds)
#   SECONDS    seed after seed until SECONDS have passed, shared out among the commands
#   --count N  N seeds for each command
#   ZR_PROPERTY_BUILD  the build folder (default build/release; its test is built first)
#   ZR_PROPERTY_SEED   the first seed (default: a fresh one)
# Every violation is printed with its seed, command, fault and invariant, and the
# ZR_PROPERTY_ONLY value that runs that case again; the exit status is 1 when there was one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=600
count=
case "${1:-}" in
  --count) count=${2:?"usage: $0 [SECONDS | --count N]"} ;;
  '') ;;
  *[!0-9]*) echo "usage: $0 [SECONDS | --count N]" >&2; exit 2 ;;
  *) seconds=$1 ;;
esac
dir=${ZR_PROPERTY_BUILD:-build/release}
flavour=$(basename "$dir")
if [ -z "${ZR_PROPERTY_BUILD:-}" ]; then
  bash scripts/build.sh release zrlink-property-tests >/dev/null
fi
first=${ZR_PROPERTY_SEED:-$(( $(od -An -N3 -tu4 /dev/urandom) + 1000 ))}
export ZR_PROPERTY_SEED=$first ZR_PROPERTY_COUNT=0
unset ZR_PROPERTY_ONLY ZR_PROPERTY_SECONDS ZR_PROPERTY_SEEDS
if [ -n "$count" ]; then
  export ZR_PROPERTY_SEEDS=$count
  echo "=== property test ($flavour): seeds $first to $((first + count - 1)) for each command ==="
else
  # Six commands (the mount's share goes unused where FUSE is missing).
  export ZR_PROPERTY_SECONDS=$(( (seconds + 5) / 6 ))
  echo "=== property test ($flavour): seeds from $first, ${ZR_PROPERTY_SECONDS}s for each command ==="
fi
log=$(mktemp /tmp/zrlink-property-XXXXXX.log)
status=0
"$dir/bin/zrlink-property-tests" > "$log" 2>&1 || status=$?
# The violations as the test printed them, then the count of runs of each command.
awk '/^\[ VIOLATION \]/ { show = 1 } show { print } /^  again: / { show = 0 }' "$log"
grep '^\[ property \]' "$log" || true
if [ "$status" -ne 0 ] && ! grep -q '^\[ VIOLATION \]' "$log"; then
  tail -n 30 "$log"
fi
echo "the whole output: $log"
exit $(( status == 0 ? 0 : 1 ))
