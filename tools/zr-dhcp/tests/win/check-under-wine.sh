#!/usr/bin/env bash
# The Windows zr-dhcp.exe under Wine in a private network namespace: a veth pair, plugged
# in while it runs, whose computer end zrc0 already holds 172.16.0.1/30 (Wine sets no
# addresses) and is named in the settings; busybox udhcpc at the other end must be offered and acknowledged
# 172.16.0.2, mask 255.255.255.252, server 172.16.0.1; Ctrl+C (SIGINT) and SIGTERM to
# Wine's process end it, and the address it did not add stays; the table of adapters is kept
# beside the program (or in the folder of --run-dir) while it runs.  Then the same program as
# a service of Wine's service control manager: installed, serving, alone in its state
# folder, stopped and removed.
#
# Usage: check-under-wine.sh WINE ZR-DHCP.EXE   (as root; exit 77: skipped)
# Wine's server must not be running for WINEPREFIX: the one this starts runs inside the
# namespace, so that Wine's sockets and its view of the adapters are the namespace's.
set -u
wine=$1
exe=$2
if [ -z "${ZR_IN_NETNS:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v busybox >/dev/null; then
    echo "check-under-wine: skipped (needs root, unshare and busybox)"
    exit 77
  fi
  # A server still running outside would give Wine the machine's own network.
  timeout 15 "${WINESERVER:-wineserver}" -w ||
    { echo "check-under-wine: FAILED: a Wine server for ${WINEPREFIX:-~/.wine} still runs" >&2; exit 1; }
  ZR_IN_NETNS=1 exec timeout -k 5 100 unshare -n bash "$0" "$@"
fi

fail() {
  echo "check-under-wine: FAILED: $*" >&2
  [ -f "$dir/log" ] && sed 's/^/  service: /' "$dir/log" >&2
  [ -f "$dir/udhcpc" ] && sed 's/^/  udhcpc: /' "$dir/udhcpc" >&2
  exit 1
}
# Waits up to $1 tenths of a second for the command after it to succeed.
until_true() {
  local n=$1
  shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}

dir=$(mktemp -d /tmp/zr-dhcp-wine.XXXXXX)
wine_pid=
keeper_pid=
installed=
# Wine's server is let end on its own (it writes the registry then), never killed: a
# service left registered would start with every Wine program of the prefix.
cleanup() {
  [ -n "$installed" ] && "$wine" "$dir/svc/zr-dhcp.exe" --remove-service </dev/null >/dev/null 2>&1
  [ -n "$wine_pid" ] && kill -KILL "$wine_pid" 2>/dev/null
  [ -n "$keeper_pid" ] && kill -INT "$keeper_pid" 2>/dev/null
  timeout 30 "${WINESERVER:-wineserver}" -w || "${WINESERVER:-wineserver}" -k 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

ip link set lo up
cp "$exe" "$dir/zr-dhcp.exe"
printf 'interface = zrc0\nlease = 600\n' > "$dir/zr-dhcp.cfg"

# Its standard error a pipe: the lines go through the program's queue for pipes.  The
# adapter is plugged in once it runs.
"$wine" "$dir/zr-dhcp.exe" 2> >(cat > "$dir/log") >/dev/null </dev/null &
wine_pid=$!
until_true 300 grep -q "serving handheld adapters" "$dir/log" || fail "it did not start"
ip link add zrc0 type veth peer name zrh0 || fail "cannot make the veth pair"
ip addr add 172.16.0.1/30 dev zrc0
ip link set zrc0 up
ip link set zrh0 up
until_true 100 grep -q "was on zrc0 already" "$dir/log" || fail "zrc0, plugged in later, was not served within 10 s"

# udhcpc's script writes what it was given.
cat > "$dir/udhcpc.sh" <<'SH'
#!/bin/sh
[ "$1" = bound ] && echo "bound ip=$ip mask=$subnet server=$serverid lease=$lease" >> "$ZR_LEASES"
exit 0
SH
chmod +x "$dir/udhcpc.sh"
ZR_LEASES="$dir/leases" timeout 20 busybox udhcpc -i zrh0 -f -q -n -t 4 -T 2 -s "$dir/udhcpc.sh" > "$dir/udhcpc" 2>&1
grep -q "bound ip=172.16.0.2 mask=255.255.255.252 server=172.16.0.1 lease=600" "$dir/leases" 2>/dev/null ||
  fail "udhcpc was not given 172.16.0.2/255.255.255.252 by 172.16.0.1 ($(cat "$dir/leases" 2>/dev/null))"
grep -q "zrc0: offer 172.16.0.2 to " "$dir/log" && grep -q "zrc0: lease 172.16.0.2 to .* for 600 s" "$dir/log" ||
  fail "the service's log does not tell the offer and the lease"
# The table of adapters beside the store (in the program's folder), written by the process
# that holds the pid file there.
until_true 30 grep -q "^adapter index=[0-9]* interface=zrc0 host=172.16.0.1 handheld=172.16.0.2 state=leased$" \
  "$dir/adapters" || fail "the table does not show zrc0 leased: $(cat "$dir/adapters" 2>/dev/null)"
[ "$(head -n 1 "$dir/adapters")" = "zr-dhcp-table 1 pid=$(tr -d '\r\n' < "$dir/zr-dhcp.pid")" ] ||
  fail "the table and the pid file name other processes: $(head -n 1 "$dir/adapters"), $(cat "$dir/zr-dhcp.pid")"

# Ctrl+C (Wine turns SIGINT into it) stops it cleanly: status 0, the address left.
kill -INT "$wine_pid"
until_true 100 sh -c "! kill -0 $wine_pid 2>/dev/null" || fail "SIGINT did not end it within 10 s"
wait "$wine_pid"
status=$?
wine_pid=
[ "$status" = 0 ] && until_true 30 grep -q "zr-dhcp.exe: stopped" "$dir/log" &&
  grep -q "172.16.0.1/30 left on zrc0 (it was there before)" "$dir/log" ||
  fail "SIGINT: status $status, no clean stop in the log"
ip -4 addr show dev zrc0 | grep -q "inet 172.16.0.1/30" || fail "172.16.0.1/30, which it did not add, is gone"
[ ! -e "$dir/adapters" ] || fail "the table is left after the stop"

# SIGTERM ends Wine's process at once (Wine passes it on to no handler): the address stays.
# Its table goes to the runtime folder it is given.
mkdir "$dir/run"
"$wine" "$dir/zr-dhcp.exe" --run-dir "Z:$dir/run" > "$dir/log" 2>&1 </dev/null &
wine_pid=$!
until_true 300 grep -q "was on zrc0 already" "$dir/log" || fail "zrc0 was not served again"
until_true 30 grep -q "^adapter index=[0-9]* interface=zrc0 host=172.16.0.1 handheld=172.16.0.2 state=" \
  "$dir/run/adapters" || fail "no table in the folder of --run-dir: $(ls "$dir/run")"
kill -TERM "$wine_pid"
until_true 100 sh -c "! kill -0 $wine_pid 2>/dev/null" || fail "SIGTERM did not end it within 10 s"
wait "$wine_pid" 2>/dev/null
wine_pid=
ip -4 addr show dev zrc0 | grep -q "inet 172.16.0.1/30" || fail "172.16.0.1/30, which it did not add, is gone"

# Service mode: --service outside the service control manager is refused with a reason.
out=$("$wine" "$dir/zr-dhcp.exe" --service 2>&1 </dev/null)
status=$?
[ "$status" = 1 ] && echo "$out" | grep -q "is for the service control manager" ||
  fail "--service by hand ended with $status: $out"

# Installed, Wine's service control manager runs it (while a Wine program runs: a second
# instance of its own state folder that serves nothing holds Wine up), it serves zrc0, and
# its removal stops it cleanly.
mkdir "$dir/keeper" "$dir/svc"
cp "$exe" "$dir/keeper/zr-dhcp.exe"
cp "$exe" "$dir/svc/zr-dhcp.exe"
echo "usb = 0001:0001" > "$dir/keeper/zr-dhcp.cfg"
printf 'interface = zrc0\nlease = 600\n' > "$dir/svc/zr-dhcp.cfg"
"$wine" "$dir/keeper/zr-dhcp.exe" > "$dir/keeper/log" 2>&1 </dev/null &
keeper_pid=$!
until_true 300 grep -q "serving handheld adapters" "$dir/keeper/log" || fail "the second instance did not start"
installed=1
out=$("$wine" "$dir/svc/zr-dhcp.exe" --install-service 2>&1 </dev/null) && echo "$out" | grep -q "registered .* and running" ||
  fail "--install-service: $out"
rm -f "$dir/leases"
ZR_LEASES="$dir/leases" timeout 20 busybox udhcpc -i zrh0 -f -q -n -t 4 -T 2 -s "$dir/udhcpc.sh" > "$dir/udhcpc" 2>&1
grep -q "bound ip=172.16.0.2 mask=255.255.255.252 server=172.16.0.1 lease=600" "$dir/leases" 2>/dev/null ||
  fail "the service gave udhcpc no lease ($(cat "$dir/leases" 2>/dev/null))"
# One instance a state folder: a second one in the service's folder ends with status 4.
out=$(timeout 30 "$wine" "$dir/svc/zr-dhcp.exe" 2>&1 </dev/null)
status=$?
[ "$status" = 4 ] && echo "$out" | grep -q "already running as process [0-9]*, which holds" ||
  fail "a second instance beside the service ended with $status: $out"
out=$("$wine" "$dir/svc/zr-dhcp.exe" --remove-service 2>&1 </dev/null) && echo "$out" | grep -q "stopped and removed" ||
  fail "--remove-service: $out"
installed=
out=$("$wine" "$dir/svc/zr-dhcp.exe" --remove-service 2>&1 </dev/null) && echo "$out" | grep -q "not installed" ||
  fail "--remove-service a second time: $out"
ip -4 addr show dev zrc0 | grep -q "inet 172.16.0.1/30" || fail "the service's stop took 172.16.0.1/30 away"
kill -INT "$keeper_pid"
wait "$keeper_pid"
keeper_pid=
echo "check-under-wine: passed (udhcpc bound 172.16.0.2/30 from 172.16.0.1, by the program and by the service;" \
  "the table of adapters showed it, beside the program and in --run-dir;" \
  "172.16.0.1/30 left on zrc0 by SIGINT, SIGTERM and the service's stop)"
