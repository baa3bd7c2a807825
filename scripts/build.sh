#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
# Usage: build.sh release|asan|lean [target...]     (ZR_BUILD_ROOT picks another build folder than build/)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
shift || true
case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DZR_SANITIZE=ON) ;;
  # The library, zrlink and the DHCP service alone: no JDK, no X11 (their lookups are
  # switched off, so that nothing of them can creep in; zrlink screen, whose SDL2 and FFmpeg
  # bring X11, is left out).
  lean)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR_BUILD_DESKTOP=OFF -DZR_BUILD_INSTALLER=OFF
                 -DZR_BUILD_SCREEN=OFF -DZR_BUILD_TESTS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Java=ON
                 -DCMAKE_DISABLE_FIND_PACKAGE_JNI=ON -DCMAKE_DISABLE_FIND_PACKAGE_X11=ON) ;;
  *) echo "usage: $0 release|asan|lean [target...]" >&2; exit 2 ;;
esac
dir="${ZR_BUILD_ROOT:-build}/$flavour"
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
