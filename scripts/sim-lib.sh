# Sourced by the demo and screenshot scripts: a simulated module on COM2 in a
# private port directory, stopped and cleaned up when the script exits.
# Sets $sim_dir (the port directory).
start_sim() {
  local build=$1; shift
  sim_dir=$(mktemp -d /tmp/talvex-sim.XXXXXX)
  sim_pid=""
  trap 'stop_sim' EXIT
  "$build/sim/talvex-sim" --port-dir "$sim_dir" --com 2 --state-dir "$sim_dir/state" "$@" &
  sim_pid=$!
  for _ in $(seq 1 50); do
    [ -e "$sim_dir/COM2" ] && return 0
    sleep 0.1
  done
  echo "the simulated module did not come up" >&2
  return 1
}

stop_sim() {
  if [ -n "${sim_pid:-}" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  [ -n "${sim_dir:-}" ] && rm -rf "$sim_dir"
}
