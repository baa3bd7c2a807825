#!/usr/bin/env bash
# The command-line part of the main job: zrlink against a simulated handheld that holds a
# small file system.  Where a private network namespace can be made, the handheld sits on
# a veth pair at 172.16.0.2 (host side 172.16.0.1/30) and zrlink finds it by discovery;
# nothing leaves that namespace.  Otherwise it runs on loopback and is named by address.
#
# Usage: demo-cli.sh BIN_DIR OUT_DIR        (run by scripts/demo.sh)
set -euo pipefail
. "$(dirname "$0")/sim-lib.sh"
bin=$(cd "$1" && pwd)
out=$(mkdir -p "$2" && cd "$2" && pwd)

if [ "${ZR_DEMO_IN_NETNS:-}" != 1 ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null &&
   unshare -n true 2>/dev/null; then
  ZR_DEMO_IN_NETNS=1 exec unshare -n bash "$0" "$@"
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

addr=127.0.0.1
where="loopback (no private network namespace here)"
if [ "${ZR_DEMO_IN_NETNS:-}" = 1 ] && ip link set lo up &&
   ip link add zrhost type veth peer name zrhand &&
   ip addr add 172.16.0.1/30 dev zrhost && ip addr add 172.16.0.2/30 dev zrhand &&
   ip link set zrhost up && ip link set zrhand up; then
  addr=172.16.0.2
  where="a private network namespace: host 172.16.0.1/30, handheld 172.16.0.2"
fi

# The handheld's storage and a host folder to send from.
storage=$work/storage
mkdir -p "$storage/docs" "$storage/programs" "$work/host/lessons"
printf 'Shopping: milk, bread\n' >"$storage/docs/todo.txt"
head -c 200000 /dev/urandom >"$storage/programs/game.bin"
printf 'Lesson 1: fractions\n' >"$work/host/lessons/one.txt"
head -c 3000000 /dev/urandom >"$work/host/lessons/video.bin"

start_sim "$bin/zr-handheld-sim" "$work/sim.out" "$work/sim.err" --addr "$addr" --storage "$storage" \
  --set name=LUMARA --set eid=SIM-DEMO-0002
echo "== zrlink: handheld simulator on $where"

z() { echo "\$ zrlink $*"; "$bin/zrlink" "$@"; }
if [ "$addr" = 172.16.0.2 ]; then
  z list
  z wait --timeout 5
else
  export ZR_ADDR=$addr
fi
z info
z ls -l /
z push --progress "$work/host/lessons" /docs
z ls -l /docs/lessons
z pull --progress /programs "$work/fetched"
cmp "$storage/programs/game.bin" "$work/fetched/game.bin" && echo "(fetched copy is identical)"
z screenshot "$out/handheld-screen.png"
echo "== zrlink: screenshot in $out/handheld-screen.png"
