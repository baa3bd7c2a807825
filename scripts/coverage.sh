#!/usr/bin/env bash
# Measures the line and branch coverage of the link library (connectivity/src/zr-net/)
# with clang's source-based coverage, in a build folder of its own: once for the test
# suite (the GoogleTest cases and the interface checks), once for the fuzz corpora
# replayed, and once for both together.  Beside it, the same for zrlink (tools/zr-cli/)
# with zrlink's tests, and for the DHCP service (tools/zr-dhcp/) with its tests (the
# namespace tests need root; without it they are skipped and the figure is the unit
# tests').  Both programs run as child processes of their tests: each process writes a
# profile of its own (%p), and the profiles of a run are merged.
#
# Usage: coverage.sh
#   ZR_COVERAGE_BUILD  build folder (default build-coverage)
#   ZR_COVERAGE_MIN    fail when the suite's line coverage is below this percentage
#   ZR_BRANCH_MIN      fail when the suite's branch coverage (of the branches not listed in
#                      scripts/coverage-unreachable.txt) is below this percentage
#                      (both gates hold for the library alone)
# The reports land in <build folder>/coverage/ (summary-*.txt, html/; zrlink's and the
# service's as summary-zrlink.txt, summary-zr-dhcp.txt, missed-branches-*.txt, html-*/).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${ZR_COVERAGE_BUILD:-build-coverage}
out="$dir/coverage"
flags="-fprofile-instr-generate -fcoverage-mapping"
profdata=$(command -v llvm-profdata-14 || command -v llvm-profdata)
cov=$(command -v llvm-cov-14 || command -v llvm-cov)

fuzz_targets=(scanners fields policy utf8 installer_cmdline
              reply_status reply_listing reply_screen reply_transfer reply_upgrade dhcp_packet dhcp_store)
targets=(zr-net zr-net-tests zr-net-c-client zr-handheld-sim zr-dhcp-user zr-dhcp-standin
         zrlink zrlink-tests zr-dhcp zr-dhcp-unit-tests zr-dhcp-netns-tests)
for t in "${fuzz_targets[@]}"; do targets+=("zr-fuzz-replay-$t"); done

echo "=== coverage build ($dir) ==="
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
screen=$(grep -q '^ZR_BUILD_SCREEN:BOOL=ON' "$dir/CMakeCache.txt" && echo yes || true)
[ -n "$screen" ] && targets+=(zrlink-screen zrlink-screen-tests)
build_args=()
for t in "${targets[@]}"; do build_args+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${build_args[@]}"

objects=(-object "$dir/bin/zr-net-tests" -object "$dir/bin/zr-dhcp-user" -object "$dir/lib/libzr-net.so")
for t in "${fuzz_targets[@]}"; do objects+=(-object "$dir/bin/zr-fuzz-replay-$t"); done
library="$(pwd)/connectivity/src/zr-net/"

rm -rf "$out"
mkdir -p "$out"
status=0
# run NAME CTEST-REGEX [EXCLUDE-REGEX [JOBS]]: runs those tests with profiling and merges
# their profiles.  (The export check is left out: an instrumented libzr-net.so exports the
# profiler's symbols.)
run() {
  mkdir -p "$out/$1"
  echo "=== $1 ==="
  if ! LLVM_PROFILE_FILE="$(pwd)/$out/$1/%p-%m.profraw" \
      ctest --test-dir "$dir" -R "$2" -E "${3:-^zr-net\.Exports\$}" -j"${4:-$(nproc)}" --timeout 300 \
        >"$out/ctest-$1.log" 2>&1; then
    echo "some tests failed (see $out/ctest-$1.log)"
    status=1
  fi
  tail -n 3 "$out/ctest-$1.log"
  "$profdata" merge -sparse "$out/$1"/*.profraw -o "$out/$1.profdata"
}
run suite '^([A-Z]|zr-net\.)' '^(zr-net\.Exports|Zrlink.*)$'
run corpora '^zr-fuzz\.replay\.'
# zrlink's tests (with the window's and the recorder's where the tree builds them, under
# their own private X server; the property tests, scripts/property-test.sh's, are left out:
# add zrlink-property-tests to the targets to count them too);
# the service's, one at a time as each brings up DHCP clients with waits of their own (the
# installation check only looks at installed files).
run zrlink '^(Zrlink|zrlink\.)'
run zr-dhcp '^zr-dhcp\.' '^zr-dhcp\.Installation$' 1
"$profdata" merge -sparse "$out/suite.profdata" "$out/corpora.profdata" -o "$out/all.profdata"

for set in suite corpora all; do
  "$cov" report "${objects[@]:1}" -instr-profile="$out/$set.profdata" "$library" > "$out/summary-$set.txt"
  echo "--- $set: $(grep '^TOTAL' "$out/summary-$set.txt" | awk '{print "regions " $4 ", functions " $7 ", lines " $10 ", branches " $13}')"
done
"$cov" show "${objects[@]:1}" -instr-profile="$out/all.profdata" -format=html -output-dir="$out/html" \
  -show-branches=count "$library" >/dev/null
# Branch coverage per file.  Branches of the library that no test can reach (a system
# call failing where only a broken kernel would fail it, code for another system) are
# listed with their reason in scripts/coverage-unreachable.txt; the figure that counts is
# the share of the other branches taken.  Every branch missed otherwise goes to
# missed-branches*.txt.
# branches NAME PROFILE SOURCES UNREACHABLE-LIST|- SUFFIX OBJECT...
branches() {
  local name=$1 profile=$2 sources=$3 listed=$4 suffix=$5
  shift 5
  "$cov" show "$@" -instr-profile="$out/$profile.profdata" -show-branches=count -use-color=false \
    -ignore-filename-regex='/(tests|fuzz)/' "$sources" > "$out/branches-$name.txt"
  python3 - "$out" "$name" "$sources" "$listed" "$suffix" <<'PY'
import os, re, sys
out, name, library, listed_file, suffix = sys.argv[1:6]
missed, totals, current, text = [], {}, None, []
for line in open(os.path.join(out, "branches-%s.txt" % name)):
    m = re.match(r"^(/\S+):$", line.rstrip("\n"))
    if m and not m.group(1).startswith(library):
        current = None
    elif m:
        current = os.path.relpath(m.group(1), library)
        text = open(m.group(1)).read().split("\n")
        totals.setdefault(current, 0)
        continue
    m = re.search(r"Branch \((\d+):(\d+)\): \[True: ([^,]+), False: ([^\]]+)\]", line)
    if m and current:
        totals[current] += 2
        no, col = int(m.group(1)), int(m.group(2))
        for side, count in (("T", m.group(3)), ("F", m.group(4))):
            if count.strip() == "0":
                missed.append((current, no, col, side, text[no - 1].strip()))
listed = {}
for line in (open(listed_file) if listed_file != "-" else []):
    entry = line.split("#", 1)[0].strip()
    if entry:
        listed[entry] = line.split("#", 1)[1].strip() if "#" in line else ""
key = lambda f, no, col, side: "%s:%d:%d:%s" % (f, no, col, side)
missed_keys = set(key(*b[:4]) for b in missed)
stale = [k for k in listed if k not in missed_keys]
unreachable = {f: 0 for f in totals}
with open(os.path.join(out, "missed-branches%s.txt" % suffix), "w") as f:
    for b in missed:
        if key(*b[:4]) in listed:
            unreachable[b[0]] += 1
        else:
            f.write("%s  %s\n" % (key(*b[:4]), b[4]))
print("--- %s, branches per file" % name + " (taken of all, missed, listed as unreachable, cover of the rest):")
t_all = t_missed = t_unreach = 0
for name in sorted(totals):
    n = totals[name]
    if n == 0:
        continue
    m = sum(1 for b in missed if b[0] == name)
    u = unreachable[name]
    t_all, t_missed, t_unreach = t_all + n, t_missed + m, t_unreach + u
    print("    %-34s %5d of %5d  %4d missed  %4d unreachable  %6.2f%%"
          % (name, n - m, n, m, u, 100.0 * (n - m) / (n - u)))
cover = 100.0 * (t_all - t_missed) / (t_all - t_unreach)
print("    %-34s %5d of %5d  %4d missed  %4d unreachable  %6.2f%%"
      % ("TOTAL", t_all - t_missed, t_all, t_missed, t_unreach, cover))
for k in stale:
    print("listed as unreachable but taken now, or moved (mend %s): %s" % (listed_file, k))
open(os.path.join(out, "branch-cover%s.txt" % suffix), "w").write("%.2f\n" % cover)
PY
}
branches suite suite "$library" scripts/coverage-unreachable.txt "" "${objects[@]:1}"

# zrlink and the service, each with its own tests.
zrlink_src="$(pwd)/tools/zr-cli/"
dhcp_src="$(pwd)/tools/zr-dhcp/"
zrlink_objects=("$dir/bin/zrlink")
module=$(find "$dir/lib" -name zrlink-screen.so 2>/dev/null | head -n 1)
[ -n "$module" ] && zrlink_objects+=(-object "$module")
dhcp_objects=("$dir/bin/zr-dhcp.exe" -object "$dir/bin/zr-dhcp-unit-tests")
for prog in zrlink zr-dhcp; do
  if [ "$prog" = zrlink ]; then src=$zrlink_src; objs=("${zrlink_objects[@]}")
  else src=$dhcp_src; objs=("${dhcp_objects[@]}"); fi
  "$cov" report "${objs[@]}" -instr-profile="$out/$prog.profdata" -ignore-filename-regex='/(tests|fuzz)/' \
    "$src" > "$out/summary-$prog.txt"
  echo "--- $prog: $(grep '^TOTAL' "$out/summary-$prog.txt" | awk '{print "regions " $4 ", functions " $7 ", lines " $10 ", branches " $13}')"
  "$cov" show "${objs[@]}" -instr-profile="$out/$prog.profdata" -format=html -output-dir="$out/html-$prog" \
    -show-branches=count -ignore-filename-regex='/(tests|fuzz)/' "$src" >/dev/null
  branches "$prog" "$prog" "$src" - "-$prog" "${objs[@]}"
done
echo "per-file figures: $out/summary-*.txt; branches missed: $out/missed-branches*.txt;"
echo "annotated sources: $out/html/index.html (zrlink: html-zrlink/, the service: html-zr-dhcp/)"

if [ -n "${ZR_COVERAGE_MIN:-}" ]; then
  lines=$(grep '^TOTAL' "$out/summary-suite.txt" | awk '{print $10}' | tr -d '%')
  if awk -v l="$lines" -v m="$ZR_COVERAGE_MIN" 'BEGIN { exit !(l < m) }'; then
    echo "line coverage of the suite $lines% is below $ZR_COVERAGE_MIN%"
    status=1
  fi
fi
if [ -n "${ZR_BRANCH_MIN:-}" ]; then
  branches=$(cat "$out/branch-cover.txt")
  if awk -v b="$branches" -v m="$ZR_BRANCH_MIN" 'BEGIN { exit !(b < m) }'; then
    echo "branch coverage of the suite $branches% is below $ZR_BRANCH_MIN%"
    status=1
  fi
fi
exit $status
