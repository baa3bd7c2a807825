#!/usr/bin/env bash
# Checks that README.md still tells the truth:
#  - it stays short (at most 8192 bytes);
#  - every relative link in README.md and docs/*.md names a file of the tree;
#  - every command it shows still runs.  The commands are the lines of its fenced ```sh blocks
#    (one command a line; a line starting with # is a comment); other blocks are not run.  They
#    run in order, in one bash, against a handheld simulator on a loopback address of its own
#    (ZR_ADDR names it, its storage holds /docs/a.txt), in a scratch folder that holds
#    notes.txt, with HOME, XDG_STATE_HOME and the DHCP service's runtime folder inside that
#    scratch folder and the build's bin folder first on PATH.  A command that ends with a
#    status other than 0 fails the check, naming its README line.  Where this machine has no
#    FUSE (/dev/fuse and fusermount3), the lines from `zrlink mount` to `fusermount3 -u` are
#    passed over, and that is said.
# Commands that look for handhelds (`zrlink list`) probe the computer's 172.16 networks, so the
# check runs in a private network namespace of its own where one can be made (as root); where
# none can, and the computer has an address where discovery would look for a handheld, those
# lines are passed over, and that is said.
# Usage: check-readme.sh [BUILD_DIR]       (default build/release; zrlink and zr-handheld-sim built)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
if [ "${ZR_README_IN_NETNS:-}" != 1 ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null &&
   unshare -n true 2>/dev/null; then
  ZR_README_IN_NETNS=1 exec unshare -n bash "$0" "$@"
fi
discovery=yes
if [ "${ZR_README_IN_NETNS:-}" = 1 ]; then
  ip link set lo up
elif ip -4 -o addr show | awk '{split($4, a, "[./]"); if (a[1] == 172 && a[2] == 16 && a[4] % 4 == 1) f = 1}
                              END {exit !f}'; then
  discovery=   # an address of a handheld's network here: discovery would probe outside this machine
fi
. scripts/sim-lib.sh
build=${1:-build/release}
bin=$(cd "$build/bin" 2>/dev/null && pwd) || { echo "check-readme: no $build/bin (build zrlink and zr-handheld-sim first)" >&2; exit 1; }
for program in zrlink zr-handheld-sim; do
  [ -x "$bin/$program" ] || { echo "check-readme: $bin/$program is not built" >&2; exit 1; }
done
readme=${ZR_README:-README.md}   # another file for the check's own trial runs
fail() { echo "check-readme: FAILED: $*" >&2; exit 1; }

# Commands shown but not run here, each with the reason (exactly as they stand in the README,
# without their comment).  A listed command that the README no longer shows fails the check.
declare -A not_run=(
  ["bash scripts/demo.sh"]="builds and installs everything: the main job, run on its own"
  ["bash scripts/test.sh"]="every test suite: .ci/run runs it first"
  ["bash scripts/package.sh --keep"]="builds and installs the packages: .ci/run runs scripts/package.sh"
)
size=$(wc -c <"$readme")
[ "$size" -le 8192 ] || fail "$readme has $size bytes, more than 8192"

# Relative links: [text](target) and ![alt](target), without a #anchor.
for doc in "$readme" docs/*.md; do
  dir=$(dirname "$doc")
  while IFS= read -r target; do
    case $target in http://* | https://* | mailto:* | '#'*) continue ;; esac
    path=${target%%#*}
    [ -e "$dir/$path" ] && continue
    fail "$doc links $target, which is not there"
  done < <(grep -o '\](\([^)]*\))' "$doc" | sed 's/^](//; s/)$//')
done

# The commands of the ```sh blocks, with their line numbers: "LINE<TAB>COMMAND".
commands=$(awk '
  /^```/ { if (inside) { inside = 0; next } if ($0 == "```sh") inside = 1; next }
  inside && $0 !~ /^[ \t]*(#|$)/ { print NR "\t" $0 }' "$readme")
[ -n "$commands" ] || fail "$readme shows no command in a \`\`\`sh block"

sim_workspace
cleanup_mounts() {
  for m in "$work"/home/*; do
    if mountpoint -q "$m" 2>/dev/null; then fusermount3 -u -z "$m" || true; fi
  done
}
trap 'cleanup_mounts; sim_workspace_end' EXIT
mkdir -p "$work/storage/docs" "$work/home" "$work/state" "$work/run" "$work/here"
printf 'Shopping: milk, bread\n' >"$work/storage/docs/a.txt"
printf 'Lesson 1: fractions\n' >"$work/here/notes.txt"
addr=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
start_sim "$bin/zr-handheld-sim" "$work/sim.out" "$work/sim.err" --addr "$addr" --storage "$work/storage" \
  --set name=README
fuse=yes
[ -c /dev/fuse ] && command -v fusermount3 >/dev/null || fuse=

# One script: each command in a group of its own, so that its trailing comment is harmless.
script=$work/commands.sh
echo 'set -o pipefail' >"$script"
declare -A seen=()
skipping='' ran=0
while IFS=$'\t' read -r line command; do
  bare=$(sed -E 's/[[:space:]]+#.*$//; s/[[:space:]]+$//' <<<"$command")
  if [ -n "${not_run[$bare]+x}" ]; then
    seen[$bare]=1
    echo "check-readme: not run: $bare (${not_run[$bare]})"
    continue
  fi
  if [ -z "$discovery" ] && [[ $bare == *"zrlink list"* ]]; then
    echo "check-readme: not run, no private network namespace here: $bare"
    continue
  fi
  if [ -z "$fuse" ] && [[ $bare == *"zrlink mount"* ]]; then skipping=yes; fi
  if [ -n "$skipping" ]; then
    echo "check-readme: not run, no FUSE here: $bare"
    [[ $bare == *"fusermount3 -u"* ]] && skipping=
    continue
  fi
  ran=$((ran + 1))
  printf 'echo %q\n{\n%s\n} || { echo "check-readme: FAILED: %s:%s: status $?: %s" >&2; exit 1; }\n' \
    "\$ $bare" "$command" "$readme" "$line" "${bare//\"/\\\"}" >>"$script"
done <<<"$commands"
for c in "${!not_run[@]}"; do
  [ -n "${seen[$c]+x}" ] || fail "the command \"$c\" is listed as not run, but $readme no longer shows it"
done

if ! (cd "$work/here" && HOME=$work/home XDG_STATE_HOME=$work/state ZR_DHCP_RUN_DIR=$work/run ZR_ADDR=$addr \
      PATH="$bin:$PATH" timeout 60 bash --norc --noprofile "$script" >"$work/out" 2>&1); then
  cat "$work/out" >&2
  fail "a command of $readme does not run (above, with what it printed)"
fi
echo "check-readme: $ran commands of $readme ran against the simulator at $addr"
