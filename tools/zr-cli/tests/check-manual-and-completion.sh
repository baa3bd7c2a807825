#!/usr/bin/env bash
# zrlink's manual page and shell completions, as the build installs them: the page renders
# without warnings and documents --json; sourcing the bash completion registers it, completes
# commands and options, asks the handheld for its paths and offers the serials of the DHCP
# service's table after --serial; the zsh completion parses.
# Usage: check-manual-and-completion.sh BUILD_DIR SOURCE_DIR ZRLINK SIMULATOR
set -euo pipefail
build=$1 source=$2 zrlink=$3 sim=$4
. "$source/scripts/sim-lib.sh"
sim_workspace
fail() { echo "FAILED: $*" >&2; exit 1; }

# zrlink's own part of the tools component (what `cmake --install` runs for this folder).
DESTDIR= cmake -DCMAKE_INSTALL_COMPONENT=tools -DCMAKE_INSTALL_PREFIX="$work/prefix" \
  -P "$build/tools/zr-cli/cmake_install.cmake" >/dev/null
page=$work/prefix/share/man/man1/zrlink.1
bash_completion=$work/prefix/share/bash-completion/completions/zrlink
zsh_completion=$work/prefix/share/zsh/site-functions/_zrlink
for f in "$page" "$bash_completion" "$zsh_completion"; do
  [ -f "$f" ] || fail "not installed: ${f#"$work/prefix/"}"
done

text=$(MANWIDTH=80 MANPAGER=cat man --warnings -l "$page" 2>"$work/man.err")
[ ! -s "$work/man.err" ] || fail "the manual page has warnings: $(cat "$work/man.err")"
for word in "--json" "EXIT STATUS" "--serial" "ZR_SERIAL" "timeSeconds" "osupg" "--all" "--max-handhelds" \
  "--sheet" "{serial}" "cat REMOTE" "ZR_DHCP_RUN_DIR" "usbPort" "--count" "--gone"; do
  grep -q -- "$word" <<<"$text" || fail "the manual page does not mention $word"
done

if command -v zsh >/dev/null; then
  zsh -n "$zsh_completion" || fail "the zsh completion does not parse"
fi

# The simulator with a storage folder, for the handheld paths.
addr=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
mkdir -p "$work/storage/docs" "$work/storage/data"
printf 'x' >"$work/storage/docs/a.txt"
start_sim "$sim" "$work/sim.out" "$work/sim.err" --addr "$addr" --storage "$work/storage"

# A table of adapters: the serials of those with an address are offered, decoded.
mkdir "$work/run"
cat >"$work/run/adapters" <<'TABLE'
zr-dhcp-table 1 pid=1
adapter index=3 interface=usb0 usb-port=1-1 serial=CALC%200001 host=172.16.0.1 handheld=172.16.0.2 state=leased
adapter index=4 interface=usb1 serial=ZR-WAITING state=waiting
adapter index=5 interface=usb2 serial=ZR-8 host=172.16.0.5 handheld=172.16.0.6 state=addressed
adapter index=6 interface=usb3 serial=ZR-GONE host=172.16.0.9 handheld=172.16.0.10 state=gone
TABLE
export ZR_DHCP_RUN_DIR=$work/run

PATH="$(dirname "$zrlink"):$PATH" bash --norc --noprofile -s "$bash_completion" "$addr" <<'SCRIPT' || fail "bash completion"
set -u
. "$1"
addr=$2
complete -p zrlink >/dev/null || { echo "complete -p zrlink: not registered"; exit 1; }
expect() {  # expect "WANTED WORDS" WORD...: completes the last word
  local want=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _zrlink
  local got="${COMPREPLY[*]}"
  [ "$got" = "$want" ] || { echo "zrlink ${*:2}: got '$got', want '$want'"; exit 1; }
}
expect "push pull" zrlink pu
expect "cat" zrlink ca
expect "--all" zrlink --al
expect "--sheet" zrlink --all screenshot --sh
expect "/docs/a.txt" zrlink --addr "$addr" cat /docs/
expect "--json" zrlink --addr "$addr" info --js
expect "-L" zrlink push -L
expect "-L" zrlink sync -L
expect "/data/ /docs/" zrlink --addr "$addr" ls /d
expect "/docs/a.txt" zrlink --addr="$addr" pull /docs/
expect "CALC\\ 0001 ZR-8" zrlink --serial ""
expect "--serial=ZR-8" zrlink info --serial=Z
expect "--count" zrlink wait --cou
SCRIPT
echo "manual page and completions: fine"
