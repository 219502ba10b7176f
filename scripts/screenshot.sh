#!/usr/bin/env bash
# Renders the README's pictures into PNGs under Xvfb, so it needs no desktop:
# the main window connected to the simulated module, in Chinese and in English,
# the firmware-update window (English) part-way through an update, and the trend window.
#   screenshot.sh BUILD DOCS_DIR
set -euo pipefail
build=${1:-build}
docs=${2:-docs}
here=$(dirname "$0")
mkdir -p "$docs"

. "$here/sim-lib.sh"
start_sim "$build"
shot() {
  TALVEX_PORT_DIR="$sim_dir" xvfb-run -a -s "-screen 0 1024x768x24" "$build/app/talvex-screenshot" "$@"
  echo "wrote $1"
}
shot "$docs/main-window.png" --connect --lang zh
shot "$docs/main-window-en.png" --connect --lang en
shot "$docs/firmware-window-en.png" --firmware --lang en
shot "$docs/trend-window.png" --trend
