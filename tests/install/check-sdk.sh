#!/usr/bin/env bash
# The library as another developer gets it: `cmake --install` into a scratch prefix, then the
# example program built against the installed files alone, once through pkg-config and once
# as a CMake project with find_package(ZrNet), each reading a simulated handheld's info.
# The version is the same everywhere (macros, SONAME, file name, zr-net.pc, CMake package),
# and the pkg-config file still works after the installation has been moved.
#
# Usage: check-sdk.sh BUILD_DIR SOURCE_DIR SIMULATOR LIBDIR
set -euo pipefail
build=$1 src=$2 sim_program=$3 libdir=$4
. "$src/scripts/sim-lib.sh"
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" --component library >/dev/null
cmake --install "$build" --prefix "$work/prefix" --component dev >/dev/null
prefix=$work/prefix

# One version: the header's macros, the library's file name and SONAME, zr-net.pc, the CMake
# version file.
header=$prefix/include/zr-net.h
v() { sed -n "s/^#define ZR_NET_VERSION_$1 \([0-9]*\)$/\1/p" "$header"; }
version="$(v MAJOR).$(v MINOR).$(v PATCH)"
[ -f "$prefix/$libdir/libzr-net.so.$version" ] || fail "no libzr-net.so.$version in $prefix/$libdir"
soname=$(objdump -p "$prefix/$libdir/libzr-net.so.$version" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libzr-net.so.$(v MAJOR)" ] || fail "SONAME $soname for version $version"
[ -L "$prefix/$libdir/libzr-net.so" ] || fail "no development link libzr-net.so"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion zr-net)" = "$version" ] || fail "zr-net.pc says $(pkg-config --modversion zr-net)"
grep -q "set(PACKAGE_VERSION \"$version\")" "$prefix/$libdir/cmake/ZrNet/ZrNetConfigVersion.cmake" ||
  fail "ZrNetConfigVersion.cmake is not $version"

addr=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
start_sim "$sim_program" "$work/sim.out" "$work/sim.err" --addr "$addr" --set name=SDKTEST --set eid=SDK-0001
export LD_LIBRARY_PATH=$prefix/$libdir

# pkg-config, and again after the whole installation has moved.
cp "$src/examples/zr-info/zr-info.c" "$work/"
# shellcheck disable=SC2046
cc -Wall -Werror "$work/zr-info.c" $(pkg-config --cflags --libs zr-net) -o "$work/zr-info-pc"
"$work/zr-info-pc" "$addr" | tee "$work/out-pc"
grep -q "^name     SDKTEST$" "$work/out-pc" || fail "the pkg-config build did not read the handheld"
mv "$prefix" "$work/moved"
export PKG_CONFIG_PATH=$work/moved/$libdir/pkgconfig LD_LIBRARY_PATH=$work/moved/$libdir
[ "$(cd "$(pkg-config --variable=includedir zr-net)" && pwd -P)" = "$(cd "$work/moved/include" && pwd -P)" ] ||
  fail "zr-net.pc is not relocatable: $(pkg-config --cflags zr-net)"
# shellcheck disable=SC2046
cc "$work/zr-info.c" $(pkg-config --cflags --libs zr-net) -o "$work/zr-info-moved"
"$work/zr-info-moved" "$addr" | grep -q "^serial   SDK-0001$" || fail "the moved installation did not work"

# The CMake package: the version is checked, the imported target carries everything.
cmake -S "$src/examples/zr-info" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/moved" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/zr-info" "$addr" | grep -q "^library  $version$" || fail "the CMake build did not work"
mkdir -p "$work/too-new"
cat >"$work/too-new/CMakeLists.txt" <<EOT
cmake_minimum_required(VERSION 3.20)
project(too-new LANGUAGES C)
find_package(ZrNet $(( $(v MAJOR) + 1 )).0 REQUIRED)
EOT
if cmake -S "$work/too-new" -B "$work/too-new/build" -DCMAKE_PREFIX_PATH="$work/moved" >/dev/null 2>&1; then
  fail "find_package(ZrNet $(( $(v MAJOR) + 1 )).0) accepted version $version"
fi
echo "the installed library works through pkg-config and find_package(ZrNet) (version $version)"
