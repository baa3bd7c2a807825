#!/usr/bin/env bash
# Runs a command in a private network namespace made for it alone: its only interface is the
# loopback interface, up, with the given extra addresses.  Nothing inside can reach the
# machine's own networks.
# Usage: in-netns.sh [ADDRESS/PREFIX ...] -- COMMAND [ARGUMENT ...]
# Exits with 77 (CTest then reports the test as skipped) when no namespace can be made here.
set -euo pipefail
addrs=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  addrs+=("$1")
  shift
done
if [ $# -eq 0 ]; then
  echo "usage: in-netns.sh [ADDRESS/PREFIX ...] -- COMMAND [ARGUMENT ...]" >&2
  exit 2
fi
shift
if ! unshare --net true 2>/dev/null; then
  echo "in-netns: no private network namespace can be made here (unshare --net failed); skipped"
  exit 77
fi
exec unshare --net -- bash -c '
  set -e
  ip link set lo up
  while [ "$1" != "--" ]; do
    ip addr add "$1" dev lo
    shift
  done
  shift
  exec "$@"' in-netns "${addrs[@]}" -- "$@"
