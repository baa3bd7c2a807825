#!/usr/bin/env bash
# Builds the libFuzzer targets of connectivity/fuzz, driver-installer/fuzz and
# tools/zr-dhcp/fuzz (clang, with AddressSanitizer and UndefinedBehaviorSanitizer) and runs
# each one for a bounded time, starting from its seed corpus.  Any finding (crash, sanitizer report, leak, violated property, time-out) fails
# the run; the input that shows it is kept in the work folder.
#
# Usage: fuzz.sh [SECONDS] [TARGET...]    (default: 60 seconds for every target)
#   ZR_FUZZ_BUILD  build folder (default build-fuzz)
#   ZR_FUZZ_WORK   work folder for the grown corpora, logs and findings
#                  (default <build folder>/fuzz-work)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
dir=${ZR_FUZZ_BUILD:-build-fuzz}
work=${ZR_FUZZ_WORK:-$dir/fuzz-work}

echo "=== fuzz build ($dir) ==="
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target zr-fuzz-all

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$dir"/bin/zr-fuzz-*; do
    name=$(basename "$f")
    case "$name" in zr-fuzz-replay-*) continue ;; esac
    targets+=("${name#zr-fuzz-}")
  done
fi

# The targets' scratch files (policy files, host files of transfers) go to memory where
# it can be had: rewriting a file on a disk file system forces its blocks out each time.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$work"
summary="$work/summary.txt"
: > "$summary"
status=0
for t in "${targets[@]}"; do
  seeds=
  for d in connectivity/fuzz driver-installer/fuzz tools/zr-dhcp/fuzz; do
    [ -d "$d/corpus/$t" ] && seeds="$d/corpus/$t"
  done
  [ -n "$seeds" ] || { echo "fuzz.sh: no seed corpus for $t" >&2; exit 1; }
  out="$work/$t"
  mkdir -p "$out/corpus"
  echo "=== fuzz $t: ${seconds}s ==="
  if "$dir/bin/zr-fuzz-$t" "$out/corpus" "$seeds" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out/" > "$out/log" 2>&1; then
    result=ok
  else
    result="FINDING (see $out/log)"
    status=1
    tail -n 40 "$out/log"
    # The run closes the target's own output; running the finding alone shows its message.
    for a in "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-*; do
      [ -e "$a" ] || continue
      echo "--- $a ---"
      "$dir/bin/zr-fuzz-$t" "$a" 2>&1 | grep -vE '^(INFO|Running|Executed|MERGE)' | head -n 40 || true
    done
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log" | tail -n 1)
  cov=$(grep -oE 'cov: [0-9]+' "$out/log" | tail -n 1 | cut -d' ' -f2)
  corpus=$(find "$out/corpus" -type f | wc -l)
  printf '%-20s %-10s runs=%-10s cov=%-6s corpus=%s\n' "$t" "$result" "${runs:-?}" "${cov:-?}" "$corpus" | tee -a "$summary"
done
exit $status
