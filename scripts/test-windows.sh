#!/usr/bin/env bash
# Builds the Windows x86-64 deliverables with mingw-w64 and runs their tests under Wine, then
# (as root) the check of zr-dhcp.exe under Wine in a private network namespace.
# Usage: test-windows.sh [ctest arguments...]
#   Build folder: build-windows/ (ZR_WIN_BUILD_ROOT picks another): build/ holds the cross
#   build, native/ the Linux handheld simulator the tests talk to on loopback, and
#   wineprefix/ the private Wine prefix (made once; it takes a while the first time).
set -euo pipefail
cd "$(dirname "$0")/.."
# One run at a time on a machine: the fixed simulator and broker addresses below would clash.
# (Wine's background programs are not handed the lock: one left behind would hold it.)
exec 8>/tmp/zr-windows-test.lock
flock 8
root=${ZR_WIN_BUILD_ROOT:-build-windows}
bash scripts/install-deps-windows.sh

export WINEPREFIX="$PWD/$root/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# /usr/lib/wine/wine64 needs no 32-bit Wine beside it.
export ZR_WINE=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver

# The handheld simulator and its broker, built natively (only those targets).
cmake -S . -B "$root/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/native" -j2 --target zr-handheld-sim zr-sim-broker >/dev/null
sim="$PWD/$root/native/bin/zr-handheld-sim"
broker="$PWD/$root/native/bin/zr-sim-broker"

cmake -S . -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$root/build" -j2

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: making the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  xvfb-run -a "$ZR_WINE" wineboot -i >/dev/null 2>&1 || true
  "$WINESERVER" -w || true
fi

# The simulator the WinSim tests talk to, on a loopback address of its own, and the broker
# that starts a simulator for each of the other simulator tests (a Windows program under Wine
# cannot start a Linux program): it ends them all when it ends.
storage=$(mktemp -d /tmp/zr-win-sim.XXXXXX)
"$sim" --addr 127.77.10.1 --storage "$storage" > "$storage.log" 2>&1 &
sim_pid=$!
"$broker" --addr 127.77.10.2 --sim "$sim" > "$storage.broker" 2>&1 &
broker_pid=$!
trap 'kill "$sim_pid" "$broker_pid" 2>/dev/null; wait "$sim_pid" "$broker_pid" 2>/dev/null; rm -rf "$storage" "$storage.log" "$storage.broker"' EXIT
for _ in $(seq 50); do
  grep -q '^ready' "$storage.log" 2>/dev/null && grep -q '^ready' "$storage.broker" 2>/dev/null && break
  sleep 0.1
done
grep -q '^ready' "$storage.log" || { echo "test-windows: the simulator did not start" >&2; cat "$storage.log" >&2; exit 1; }
grep -q '^ready' "$storage.broker" || { echo "test-windows: the simulator broker did not start" >&2; cat "$storage.broker" >&2; exit 1; }
export ZR_WIN_SIM_ADDR=127.77.10.1 ZR_WIN_SIM_STORAGE="$storage"
export ZR_WIN_SIM_BROKER=$(awk '/^ready/ {print $2 ":" $3; exit}' "$storage.broker")

# A test that times out under Wine is run again, up to three times in all: now and then the
# two tests running side by side, which pass in seconds, both reach their time-outs, and
# their next tries with them (docs/testing.md).  A test that fails, or times out three times,
# fails the run; the Linux suites run every test once.  A test still running after 50 s (the
# shortest time-out is 60 s) has its output so far and the state of the Wine processes
# written out, so that one ended at its time-out shows where it waited.
retry="--repeat after-timeout:3"
export ZR_WINE_RUN_REPORT_AFTER=50
for arg in "$@"; do
  case $arg in --repeat* | --repeat-until-fail*) retry= ;; esac
done
export ZR_CTEST_RETRY=$retry
status=0
# One persistent Wine server inside the same X server as the tests: without it every Wine
# program keeps the output pipes of ctest open for seconds after it ends.  Wine's own
# background programs are started here, on the null device, so that no test's output pipe
# is handed down to them either; the desktop keeper holds Wine's desktop process open for
# the whole run (Wine would otherwise end it between two window-owning tests, and the test
# that starts it again would hand it its output pipe).
xvfb-run -a bash -c '
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  trap "\"\$WINESERVER\" -k 2>/dev/null || true" EXIT
  "$ZR_WINE" wineboot </dev/null >/dev/null 2>&1
  ready=$(mktemp -u /tmp/zr-wine-desktop.XXXXXX)
  "$ZR_WINE" "$0/build/bin/zr-wine-desktop-keeper.exe" "Z:$ready" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 100); do [ -e "$ready" ] && break; sleep 0.1; done
  [ -e "$ready" ] || { echo "test-windows: the desktop keeper did not start" >&2; exit 1; }
  rm -f "$ready"
  ctest --test-dir "$0/build" -j2 --output-on-failure $ZR_CTEST_RETRY "$@"
' "$root" "$@" 8>&- || status=$?

# zr-dhcp.exe serving a veth pair in a private network namespace (as root; skipped
# otherwise), once the suite's Wine server has ended: the check starts one of its own
# inside the namespace.
"$WINESERVER" -k 2>/dev/null || true
check=0
bash tools/zr-dhcp/tests/win/check-under-wine.sh "$ZR_WINE" "$PWD/$root/build/bin/zr-dhcp.exe" || check=$?
[ "$check" = 77 ] && check=0
exit $(( status != 0 ? status : check ))
