#!/usr/bin/env bash
# Renders the main window, connected to the simulated module, into a PNG, and the
# trend window beside it into another (trend-window.png in the same folder).
# Runs under Xvfb so it needs no desktop.
set -euo pipefail
build=${1:-build}
out=${2:-docs/main-window.png}
trend_out=$(dirname "$out")/trend-window.png
here=$(dirname "$0")
mkdir -p "$(dirname "$out")"

. "$here/sim-lib.sh"
start_sim "$build"
TALVEX_PORT_DIR="$sim_dir" xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/app/talvex-screenshot" "$out" --connect
echo "wrote $out"
TALVEX_PORT_DIR="$sim_dir" xvfb-run -a -s "-screen 0 1280x800x24" \
  "$build/app/talvex-screenshot" "$trend_out" --trend
echo "wrote $trend_out"
