#!/usr/bin/env bash
# Measures the line and branch coverage of the link library (connectivity/src/zr-net/)
# with clang's source-based coverage, in a build folder of its own: once for the test
# suite (the GoogleTest cases and the interface checks), once for the fuzz corpora
# replayed, and once for both together.
#
# Usage: coverage.sh
#   ZR_COVERAGE_BUILD  build folder (default build-coverage)
#   ZR_COVERAGE_MIN    fail when the suite's line coverage is below this percentage
#   ZR_BRANCH_MIN      fail when the suite's branch coverage is below this percentage
# The reports land in <build folder>/coverage/ (summary-*.txt, html/).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${ZR_COVERAGE_BUILD:-build-coverage}
out="$dir/coverage"
flags="-fprofile-instr-generate -fcoverage-mapping"
profdata=$(command -v llvm-profdata-14 || command -v llvm-profdata)
cov=$(command -v llvm-cov-14 || command -v llvm-cov)

fuzz_targets=(scanners fields policy utf8 installer_cmdline
              reply_status reply_listing reply_screen reply_transfer reply_upgrade dhcp_packet)
targets=(zr-net zr-net-tests zr-net-c-client zr-handheld-sim zr-dhcp-user zr-dhcp-standin)
for t in "${fuzz_targets[@]}"; do targets+=("zr-fuzz-replay-$t"); done

echo "=== coverage build ($dir) ==="
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
build_args=()
for t in "${targets[@]}"; do build_args+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${build_args[@]}"

objects=(-object "$dir/bin/zr-net-tests" -object "$dir/bin/zr-dhcp-user" -object "$dir/lib/libzr-net.so")
for t in "${fuzz_targets[@]}"; do objects+=(-object "$dir/bin/zr-fuzz-replay-$t"); done
library="$(pwd)/connectivity/src/zr-net/"

rm -rf "$out"
mkdir -p "$out"
status=0
# run NAME CTEST-REGEX: runs those tests with profiling and merges their profiles.  (The
# export check is left out: an instrumented libzr-net.so exports the profiler's symbols.)
run() {
  mkdir -p "$out/$1"
  echo "=== $1 ==="
  if ! LLVM_PROFILE_FILE="$(pwd)/$out/$1/%p-%m.profraw" \
      ctest --test-dir "$dir" -R "$2" -E '^zr-net\.Exports$' -j"$(nproc)" --timeout 300 \
        >"$out/ctest-$1.log" 2>&1; then
    echo "some tests failed (see $out/ctest-$1.log)"
    status=1
  fi
  tail -n 3 "$out/ctest-$1.log"
  "$profdata" merge -sparse "$out/$1"/*.profraw -o "$out/$1.profdata"
}
run suite '^([A-Z]|zr-net\.)'
run corpora '^zr-fuzz\.replay\.'
"$profdata" merge -sparse "$out/suite.profdata" "$out/corpora.profdata" -o "$out/all.profdata"

for set in suite corpora all; do
  "$cov" report "${objects[@]:1}" -instr-profile="$out/$set.profdata" "$library" > "$out/summary-$set.txt"
  echo "--- $set: $(grep '^TOTAL' "$out/summary-$set.txt" | awk '{print "regions " $4 ", functions " $7 ", lines " $10 ", branches " $13}')"
done
"$cov" show "${objects[@]:1}" -instr-profile="$out/all.profdata" -format=html -output-dir="$out/html" \
  -show-branches=count "$library" >/dev/null
# Branch coverage per file of the suite (llvm-cov's columns: branches, missed, cover).
echo "--- suite, branches per file (taken of all, missed, cover):"
awk '/^Filename/ || /^-/ || /^TOTAL/ || NF < 13 { next }
     { printf "    %-34s %5d of %5d  %4d missed  %s\n", $1, $11 - $12, $11, $12, $13 }' \
  "$out/summary-suite.txt"
echo "per-file figures: $out/summary-*.txt; annotated sources: $out/html/index.html"

if [ -n "${ZR_COVERAGE_MIN:-}" ]; then
  lines=$(grep '^TOTAL' "$out/summary-suite.txt" | awk '{print $10}' | tr -d '%')
  if awk -v l="$lines" -v m="$ZR_COVERAGE_MIN" 'BEGIN { exit !(l < m) }'; then
    echo "line coverage of the suite $lines% is below $ZR_COVERAGE_MIN%"
    status=1
  fi
fi
if [ -n "${ZR_BRANCH_MIN:-}" ]; then
  branches=$(grep '^TOTAL' "$out/summary-suite.txt" | awk '{print $13}' | tr -d '%')
  if awk -v b="$branches" -v m="$ZR_BRANCH_MIN" 'BEGIN { exit !(b < m) }'; then
    echo "branch coverage of the suite $branches% is below $ZR_BRANCH_MIN%"
    status=1
  fi
fi
exit $status
