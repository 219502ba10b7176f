#!/usr/bin/env bash
# Starts the simulated module on COM2 in a private port directory, then the tool
# pointed at it, and stops the simulator when the tool exits.
set -euo pipefail
build=${1:-build}
here=$(dirname "$0")

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "make demo: no display (DISPLAY is not set); run it in a desktop session, or see 'make screenshot'" >&2
  exit 1
fi

. "$here/sim-lib.sh"
# shellcheck disable=SC2086 # extra simulator options, split on purpose
start_sim "$build" --fw-version 149 ${TALVEX_SIM_ARGS:-}
echo "Simulated module on COM2 ($sim_dir/COM2). Press \"开始连接\" in the tool."
TALVEX_PORT_DIR="$sim_dir" "$build/app/talvex"
