# Shell helpers for scripts that run the handheld simulator (sourced, not run).

# start_sim SIM_PROGRAM OUT_FILE ERR_FILE [SIMULATOR ARGUMENTS...]
# Starts the simulator in the background (its process id in $sim_pid) and waits at most 5 s
# for its "ready" line; on failure prints why and returns 1.
start_sim() {
  local program=$1 out=$2 err=$3
  shift 3
  "$program" "$@" >"$out" 2>"$err" &
  sim_pid=$!
  for _ in $(seq 50); do
    grep -q '^ready' "$out" 2>/dev/null && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the simulator did not start:" >&2
  cat "$err" >&2
  return 1
}

# sim_workspace
# Makes a temporary folder in $work and, at the script's end, stops the simulator that
# start_sim started (if any) and takes the folder away.
sim_workspace() {
  work=$(mktemp -d)
  sim_pid=
  trap sim_workspace_end EXIT
}
sim_workspace_end() {
  stop_pid "$sim_pid"
  rm -rf "$work"
}

# stop_pid PID: ends a background process of this script (SIGTERM) and waits for it; nothing
# when PID is empty.  How it ended is no failure of the script.
stop_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
