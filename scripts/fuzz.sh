#!/usr/bin/env bash
# make fuzz: builds the libFuzzer targets with clang in a build folder of their
# own and runs each until it has been fed FUZZ_BYTES input bytes (default 10 M),
# then prints per target the runs, the bytes, the crashes and the time. Units
# libFuzzer finds stay in that build folder; the committed seeds are read only.
# Every crash, time-out or broken invariant is kept as an artifact and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
FUZZ_BYTES=${FUZZ_BYTES:-10000000}
TARGETS=${FUZZ_TARGETS:-master_read write_echo sim_modbus sim_bootloader update image_file update_options scan_replies}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
MAX_LEN=4096          # bytes of one input
TIMEOUT_S=10          # one input running longer than this counts as a hang
RSS_LIMIT_MB=2048

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTALVEX_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target fuzz_targets >/dev/null

run_dir=$BUILD_DIR/fuzz-run
failed=0
rows=()
for t in $TARGETS; do
  work=$run_dir/$t
  mkdir -p "$work/corpus" "$work/artifacts"
  before=$(find "$work/artifacts" -type f | wc -l)
  start=$(date +%s.%N)
  set +e
  # -len_control=0: inputs may take their full length at once; the budget counts bytes, not runs.
  FUZZ_BYTES=$FUZZ_BYTES QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=malloc_context_size=8 \
    "$BUILD_DIR/tests/fuzz/fuzz_$t" -max_len=$MAX_LEN -len_control=0 -timeout=$TIMEOUT_S \
    -rss_limit_mb=$RSS_LIMIT_MB -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "tests/fuzz/corpus/$t" >"$work/log" 2>&1
  rc=$?
  set -e
  seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  crashes=$(( $(find "$work/artifacts" -type f | wc -l) - before ))
  budget=$(grep '^fuzz-budget:' "$work/log" | tail -1 || true)
  if [ -n "$budget" ] && [ $rc -eq 0 ]; then
    runs=$(sed 's/.*runs=\([0-9]*\).*/\1/' <<<"$budget")
    bytes=$(sed 's/.*bytes=\([0-9]*\).*/\1/' <<<"$budget")
  else
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$' || echo '?')
    bytes='?'
    [ "$crashes" -gt 0 ] || crashes=1
  fi
  rows+=("$(printf '%-16s %10s %12s %8s %9s' "$t" "$runs" "$bytes" "$crashes" "$seconds")")
  printf 'fuzz: %-16s runs %s, bytes %s, crashes %s, %s s\n' "$t" "$runs" "$bytes" "$crashes" "$seconds"
  if [ "$crashes" -gt 0 ]; then
    failed=1
    echo "fuzz: $t failed; log $work/log, inputs in $work/artifacts/:" >&2
    grep -E 'invariant broken|ERROR:|SUMMARY' "$work/log" | head -5 >&2 || true
  fi
done

echo
printf '%-16s %10s %12s %8s %9s\n' target runs bytes crashes seconds
printf '%s\n' "${rows[@]}"
exit $failed
