#!/usr/bin/env bash
# Builds and runs every test: once in a normal build, once with AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for flavour in release asan; do
  echo "=== $flavour build ==="
  bash scripts/build.sh "$flavour"
  echo "=== $flavour tests ==="
  if ! ctest --test-dir "build/$flavour" --output-on-failure -j"$(nproc)" --timeout 300; then
    status=1
  fi
done
exit $status
