#!/usr/bin/env bash
# The main job: starts the handheld simulator on loopback and talks to it through the link
# library, printing the probe result, the handheld's info record, statistics and screen-image
# size; the DHCP server stand-in (bin/standin/zr-dhcp.exe) runs for the time of the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/sim-lib.sh
bash scripts/install-deps.sh
bash scripts/build.sh release >/dev/null
bin=build/release/bin
addr=${ZR_DEMO_ADDR:-127.0.0.1}

sim_workspace

start_sim "$bin/zr-handheld-sim" "$work/sim.out" "$work/sim.err" --addr "$addr" --set name=LUMARA \
  --set eid=SIM-DEMO-0001
echo "== handheld simulator: $(cat "$work/sim.out")"
"$bin/zr-demo" "$addr" "$bin/standin"

# The command-line tool: discovery (in a private network namespace where one can be made),
# info, a listing, a push and a pull with progress, a screenshot.
bash scripts/demo-cli.sh "$bin" build/demo

# The desktop: the launcher from an installation runs the application against a simulator with
# files; screenshots of the splash and of the application go to build/demo/.
bash scripts/demo-desktop.sh
