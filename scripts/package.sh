#!/usr/bin/env bash
# The Debian packages: builds them (build/package, prefix /usr, no tests), checks them with
# lintian (no errors allowed), installs them on this machine, uses what they installed
# (zrlink and the library against the handheld simulator, the DHCP service's program, unit and
# rule, the desktop application's layout, the library guide's example built against the
# installed library with pkg-config and with CMake), and removes them again.
#
# Usage: package.sh [--keep]        (--keep: leave the packages installed)
#   ZR_PACKAGE_BUILD  build folder (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/sim-lib.sh
keep=${1:-}
bash scripts/install-deps.sh
dir=${ZR_PACKAGE_BUILD:-build/package}

echo "=== packages ($dir) ==="
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DZR_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$(cd "$dir" && pwd)"/*.deb)
printf '%s\n' "${debs[@]##*/}"

echo "=== lintian ==="
lintian --fail-on error --tag-display-limit 0 "${debs[@]}"

echo "=== install ==="
packages=(libzr-net0 libzr-net-dev lumara-link-tools lumara-link)
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
  if [ "$keep" != --keep ]; then
    apt-get purge -y -qq "${packages[@]}" >/dev/null || true
  fi
}
trap cleanup EXIT
check() { echo "  $*"; "$@" >/dev/null || { echo "package check failed: $*" >&2; exit 1; }; }
version=$(/usr/bin/zrlink --version)
echo "  zrlink --version: $version"
[ "$version" = "zrlink $(pkg-config --modversion zr-net)" ] || { echo "versions differ" >&2; exit 1; }
check /usr/sbin/zr-dhcp.exe --help
check test -f /usr/lib/systemd/system/zr-dhcp.service
check test -f /usr/lib/udev/rules.d/70-zr-dhcp.rules
check test -f /etc/zr-dhcp.cfg
check test -x /usr/bin/kq-lumaralink
check test -f /usr/lib/lumara-link/jre/lib/server/libjvm.so
check test -f /usr/share/applications/kq-lumaralink.desktop
check man -l /usr/share/man/man1/zrlink.1.gz
check man -l /usr/share/man/man8/zr-dhcp.exe.8.gz
check man -l /usr/share/man/man1/kq-lumaralink.1.gz
check bash -c '. /usr/share/bash-completion/completions/zrlink && complete -p zrlink'
check test -f /usr/share/zsh/site-functions/_zrlink

# The simulator demo with the installed zrlink and library.
sim=build/release/bin/zr-handheld-sim
[ -x "$sim" ] || bash scripts/build.sh release zr-handheld-sim >/dev/null
addr=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
mkdir -p "$work/storage/docs" "$work/host"
printf 'from the packages\n' >"$work/host/note.txt"
start_sim "$sim" "$work/sim.out" "$work/sim.err" --addr "$addr" --storage "$work/storage" --set name=PACKAGED
echo "=== the installed zrlink against the simulator ($addr) ==="
/usr/bin/zrlink --addr "$addr" info | head -3
/usr/bin/zrlink --addr "$addr" -q push "$work/host/note.txt" /docs
/usr/bin/zrlink --addr "$addr" ls -l /docs
/usr/bin/zrlink --addr "$addr" -q pull /docs/note.txt "$work/back.txt"
cmp "$work/host/note.txt" "$work/back.txt"
# The screen module, where the installed zrlink looks for it.
/usr/bin/zrlink --addr "$addr" screen --no-window --record "$work/screen.gif" --duration 1

# The library guide's example against the installed development package alone: through
# pkg-config as C and as C++, and as a CMake project with find_package(ZrNet), each listing
# the simulator.
echo "=== the library guide's example against the installed library ==="
mkdir "$work/example"
cp docs/examples/list-handhelds.c docs/examples/CMakeLists.txt "$work/example/"
lists_sim() {
  echo "  $1 $addr"
  local out
  out=$("$1" "$addr") && grep -Eq "^${addr//./\\.} +PACKAGED " <<<"$out" ||
    { echo "package check failed: $1 $addr did not list the simulator: $out" >&2; exit 1; }
}
# shellcheck disable=SC2046
check cc -Wall -Werror "$work/example/list-handhelds.c" $(pkg-config --cflags --libs zr-net) -o "$work/example/c"
# shellcheck disable=SC2046
check c++ -Wall -Werror -x c++ "$work/example/list-handhelds.c" $(pkg-config --cflags --libs zr-net) -o "$work/example/cxx"
check cmake -S "$work/example" -B "$work/example/build"
check cmake --build "$work/example/build"
for program in "$work/example/c" "$work/example/cxx" "$work/example/build/list-handhelds"; do
  lists_sim "$program"
done
echo "packages: built, lintian-clean, installed, used$([ "$keep" = --keep ] || echo ", removed")"
