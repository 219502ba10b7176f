#!/usr/bin/env bash
# Renders the main window, connected to the simulated module, into docs/main-window.png.
# Runs under Xvfb so it needs no desktop.
set -euo pipefail
build=${1:-build}
out=${2:-docs/main-window.png}
mkdir -p "$(dirname "$out")"

dir=$(mktemp -d /tmp/talvex-shot.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

"$build/sim/talvex-sim" --port-dir "$dir" --com 2 --state-dir "$dir/state" &
sim_pid=$!
for _ in $(seq 1 50); do [ -e "$dir/COM2" ] && break; sleep 0.1; done

TALVEX_PORT_DIR="$dir" xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/app/talvex-screenshot" "$out" --connect
echo "wrote $out"
