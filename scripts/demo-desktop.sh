#!/usr/bin/env bash
# The desktop part of the main job (scripts/demo.sh runs it after a build): installs the build
# into build/demo/install, starts the handheld simulator with a storage folder, starts the
# launcher from the installation (bin/kq-lumaralink; under a private Xvfb when there is no display),
# forwards an argument from a second start, and saves screenshots of the splash and of the
# application showing the simulated handheld's details and files in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZR_BUILD_ROOT:-build}/release
bin=$build/bin
out=${ZR_DEMO_OUT:-${ZR_BUILD_ROOT:-build}/demo}
addr=${ZR_DEMO_DESKTOP_ADDR:-127.0.0.7}
mkdir -p "$out"
out=$(cd "$out" && pwd)
prefix=$out/install
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >"$out/install.log"

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits (at most $1 tenths of a second) until the command in the remaining arguments succeeds.
wait_for() {
  local n=$1; shift
  for _ in $(seq "$n"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x1024x24 5>"$work/display" >/dev/null 2>&1 &
  pids+=($!)
  wait_for 100 grep -q . "$work/display" || { echo "demo: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -1 "$work/display")"
fi
echo "== desktop: launcher from $prefix on display $DISPLAY"

mkdir -p "$work/storage/docs" "$work/storage/images" "$work/run"
chmod 700 "$work/run"
printf 'Shopping list\n- paper\n- batteries\n' >"$work/storage/notes.txt"
printf 'Plan for the week\n' >"$work/storage/docs/plan.txt"
head -c 20000 /dev/urandom >"$work/storage/images/system.img"
"$bin/zr-handheld-sim" --addr "$addr" --storage "$work/storage" --set name=LUMARA --set eid=SIM-DEMO-0001 \
  >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
wait_for 50 grep -q '^ready' "$work/sim.out" || { cat "$work/sim.err" >&2; exit 1; }

splash_up() { xwininfo -root -children | grep -q SplashScreenWndClass; }
(exec env XDG_RUNTIME_DIR="$work/run" QXCONNECT_HANDHELD="$addr" QXCONNECT_TRACE="$work/trace" \
  "$prefix/bin/kq-lumaralink" >"$work/launcher.out" 2>"$work/launcher.err") &
launcher=$!
pids+=($launcher)
if wait_for 100 splash_up; then
  sleep 0.3
  import -window root "$out/splash.png"
  echo "== desktop: splash screenshot $out/splash.png"
else
  echo "demo: no splash window" >&2
fi
wait_for 600 grep -q '^screen ' "$work/trace" || { echo "demo: the application did not show the handheld" >&2; cat "$work/launcher.err" >&2; exit 1; }
wait_for 100 bash -c '! xwininfo -root -children | grep -q SplashScreenWndClass' || true
sleep 1

# A second start hands its argument to the running application and exits 0.
(cd "$work/storage" && env XDG_RUNTIME_DIR="$work/run" "$prefix/bin/kq-lumaralink" notes.txt)
echo "== desktop: a second start forwarded its argument (exit code $?)"
wait_for 50 grep -q '^forwarded ' "$work/trace" || true
sleep 0.5
import -window root "$out/application.png"
echo "== desktop: application screenshot $out/application.png"
echo "== desktop: what the application showed"
grep -E '^(devices|info|list|entry|screen|forwarded) ' "$work/trace" | sed 's/^/   /'
kill "$launcher" 2>/dev/null || true
echo "== desktop: screenshots in $out"
