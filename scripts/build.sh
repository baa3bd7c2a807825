#!/usr/bin/env bash
# Configures and builds one flavour of the tree.  Usage: build.sh release|asan
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DZR_SANITIZE=ON) ;;
  *) echo "usage: $0 release|asan" >&2; exit 2 ;;
esac
cmake -S . -B "build/$flavour" -G Ninja "${args[@]}" >/dev/null
cmake --build "build/$flavour" -j"$(nproc)"
