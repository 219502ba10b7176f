#!/usr/bin/env bash
# Renders the README's pictures into PNGs under Xvfb, so it needs no desktop:
# the main window connected to the simulated module, in Chinese and in English,
# the firmware-update window (English) part-way through an update, the trend window,
# and the production station with three slots: a board passed on COM2 (its label
# typed into its field), a module whose bootloader never answers on COM3, and a
# board on COM4 that waits for its label.
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

# The station's two other slots, each its own simulated module in the same port folder.
station_sims=()
stop_station_sims() {
  for pid in "${station_sims[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  stop_sim
}
trap stop_station_sims EXIT
"$build/sim/talvex-sim" --port-dir "$sim_dir" --com 3 --state-dir "$sim_dir/state3" --no-bootloader \
  --uid 54414C564558000120240616 &
station_sims+=($!)
"$build/sim/talvex-sim" --port-dir "$sim_dir" --com 4 --state-dir "$sim_dir/state4" \
  --uid 54414C564558000120240617 &
station_sims+=($!)
for _ in $(seq 1 50); do
  [ -e "$sim_dir/COM3" ] && [ -e "$sim_dir/COM4" ] && break
  sleep 0.1
done
image="$here/../firmware/standin/talvex_m_standin.bin"
cp "$image" "$sim_dir/image.bin"
cat >"$sim_dir/recipe.json" <<EOF
{
  "image": "image.bin",
  "sha256": "$(sha256sum "$image" | cut -d' ' -f1)",
  "settings": {"station": 5, "can-baud": "500k", "filter": "3"},
  "label_required": true,
  "label_pattern": "TM-[0-9]{6}",
  "lot": "2026-W50-A"
}
EOF
shot "$docs/station-window.png" --station "$sim_dir/recipe.json" --ports COM2,COM3,COM4
