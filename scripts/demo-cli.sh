#!/usr/bin/env bash
# The command-line part of the main job: zrlink against a simulated handheld that holds a
# small file system.  Where private network namespaces can be made, the handheld lives in a
# namespace of its own and is "plugged in" as a veth pair: the DHCP service zr-dhcp.exe
# gives the computer's end 172.16.0.1/30 and answers the handheld's DHCP client (busybox
# udhcpc) with 172.16.0.2, where the simulator then listens, and zrlink finds it by
# discovery; nothing leaves those namespaces.  Otherwise it runs on loopback and is named by
# address.
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
sim_pid= dhcp_pid= hand_pid=
cleanup() {
  mountpoint -q "$work/mnt" 2>/dev/null && fusermount3 -u -z "$work/mnt"
  stop_pid "$sim_pid"
  stop_pid "$dhcp_pid"
  stop_pid "$hand_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# wait_for TEXT FILE: at most 3 s until FILE holds TEXT.
wait_for() {
  for _ in $(seq 150); do grep -q "$1" "$2" 2>/dev/null && return 0; sleep 0.02; done
  return 1
}

# The handheld plugged in: its own namespace, the veth pair, the DHCP service and the
# handheld's DHCP client.
plug_in_handheld() {
  ip link set lo up || return 1
  unshare -n sleep 3600 &
  hand_pid=$!
  sleep 0.2
  in_handheld() { nsenter -t "$hand_pid" -n -- "$@"; }
  in_handheld ip link set lo up || return 1
  printf 'interface = zrhost\nlease = 600\n' >"$work/zr-dhcp.cfg"
  "$bin/zr-dhcp.exe" --config "$work/zr-dhcp.cfg" --data "$work/zr-dhcp.dat" 2>"$work/zr-dhcp.log" &
  dhcp_pid=$!
  wait_for "serving handheld adapters" "$work/zr-dhcp.log" || return 1
  echo "== the DHCP service zr-dhcp.exe runs; the handheld is plugged in (a veth pair)"
  ip link add zrhost type veth peer name zrhand netns "/proc/$hand_pid/ns/net" || return 1
  in_handheld ip link set zrhand up || return 1
  wait_for "set on zrhost" "$work/zr-dhcp.log" || return 1
  printf '#!/bin/sh\n[ "$1" = bound ] && ip addr add "$ip/$mask" dev "$interface"\nexit 0\n' >"$work/udhcpc.sh"
  chmod +x "$work/udhcpc.sh"
  in_handheld busybox udhcpc -i zrhand -f -q -n -t 4 -T 1 -s "$work/udhcpc.sh" 2>&1 | sed 's/^/   handheld: /'
  wait_for "lease 172.16.0.2" "$work/zr-dhcp.log" || return 1
  sed 's/^/   service: /' "$work/zr-dhcp.log"
  echo "   computer: $(ip -4 -o addr show dev zrhost | awk '{print $2, $4}')"
}

addr=127.0.0.1
where="loopback (no private network namespace here)"
if [ "${ZR_DEMO_IN_NETNS:-}" = 1 ]; then
  if plug_in_handheld; then
    addr=172.16.0.2
    where="172.16.0.2, in a namespace of its own behind the veth pair"
  else
    echo "== (the plug-in demo could not be set up here; the simulator runs on loopback)"
    cat "$work/zr-dhcp.log" 2>/dev/null || true
  fi
fi

# The handheld's storage and a host folder to send from.
storage=$work/storage
mkdir -p "$storage/docs" "$storage/programs" "$work/host/lessons"
printf 'Shopping: milk, bread\n' >"$storage/docs/todo.txt"
head -c 200000 /dev/urandom >"$storage/programs/game.bin"
printf 'Lesson 1: fractions\n' >"$work/host/lessons/one.txt"
head -c 3000000 /dev/urandom >"$work/host/lessons/video.bin"

sim=("$bin/zr-handheld-sim")
[ "$addr" = 172.16.0.2 ] && sim=(nsenter -t "$hand_pid" -n -- "$bin/zr-handheld-sim")
start_sim "${sim[0]}" "$work/sim.out" "$work/sim.err" "${sim[@]:1}" --addr "$addr" --storage "$storage" \
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
echo "== zrlink sync: only what changed moves (the handheld's side is written :PATH)"
printf 'Lesson 2: decimals\n' >"$work/host/lessons/two.txt"
z sync --dry-run "$work/host/lessons" :/docs/lessons
z sync "$work/host/lessons" :/docs/lessons
z sync :/docs "$work/backup"
z sync :/docs "$work/backup"
echo "(the second sync found nothing to fetch)"
if [ -c /dev/fuse ] && command -v fusermount3 >/dev/null && mkdir -p "$work/mnt" &&
   "$bin/zrlink" mount "$work/mnt" 2>"$work/mount.err"; then
  echo "== zrlink mount: the handheld's storage as a folder, for every program"
  echo "\$ zrlink mount $work/mnt"
  ( cd "$work/mnt" && echo '$ ls -l docs' && ls -l docs && echo '$ cat docs/todo.txt' && cat docs/todo.txt &&
    echo '$ echo "Shopping: eggs" >> docs/todo.txt' && echo "Shopping: eggs" >>docs/todo.txt )
  echo "   on the handheld now: $(tr '\n' ' ' <"$storage/docs/todo.txt")"
  echo "\$ fusermount3 -u $work/mnt"
  fusermount3 -u "$work/mnt"
else
  echo "== (zrlink mount is not shown here: no FUSE $(cat "$work/mount.err" 2>/dev/null))"
fi
if [ -n "$dhcp_pid" ]; then
  echo "== unplugged (the veth pair removed), then the service stopped"
  ip link del zrhost
  wait_for "adapter zrhost gone" "$work/zr-dhcp.log" && grep "gone" "$work/zr-dhcp.log" | sed 's/^/   service: /'
  stop_pid "$dhcp_pid"
  dhcp_pid=
fi
