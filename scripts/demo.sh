#!/usr/bin/env bash
# Starts the simulated module on COM2 in a private port directory, then the tool
# pointed at it, and stops the simulator when the tool exits.
set -euo pipefail
build=${1:-build}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "make demo: no display (DISPLAY is not set); run it in a desktop session, or see 'make screenshot'" >&2
  exit 1
fi

dir=$(mktemp -d /tmp/talvex-demo.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

"$build/sim/talvex-sim" --port-dir "$dir" --com 2 --state-dir "$dir/state" ${TALVEX_SIM_ARGS:-} &
sim_pid=$!
for _ in $(seq 1 50); do
  [ -e "$dir/COM2" ] && break
  sleep 0.1
done
if [ ! -e "$dir/COM2" ]; then
  echo "make demo: the simulated module did not come up" >&2
  exit 1
fi
echo "Simulated module on COM2 ($dir/COM2). Press \"开始连接\" in the tool."
TALVEX_PORT_DIR="$dir" "$build/app/talvex"
