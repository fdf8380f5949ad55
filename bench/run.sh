#!/usr/bin/env bash
# Builds the bridge and the benchmark harness in Release (build-bench/) and prints one table.
# Everything runs on 127.0.0.1; the bridge's fixed ports are shared with other work on this
# machine, so each program that opens them holds the machine-wide port lock while it runs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
source "$root/scripts/loopback.sh"
lock=$ports_lock

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIDGE_BUILD_BENCH=ON \
    -DBRIDGE_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 tervian-bridge tervian-history decoder-bench link-bench trend-bench \
    history-bench >/dev/null

# The bridge keeps config.txt beside itself, so it runs as a copy in a folder of its own.
run="$(mktemp -d)"
trap 'rm -rf "$run"' EXIT
cp "$build/bin/tervian-bridge" "$run/"
write_loopback_config "$run/config.txt"

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$run}"

rows="$run/rows.tsv"
printf 'Figure\tMeasured\tReference\tRatio\tTarget\tVerdict\n' >"$rows"
"$build/bin/decoder-bench" >>"$rows"
flock "$lock" "$build/bin/link-bench" "$run" >>"$rows"
"$build/bin/trend-bench" >>"$rows"
"$build/bin/history-bench" "$build/bin/tervian-history" "$run" >>"$rows"

column -t -s $'\t' "$rows"
echo "Medians of several runs on a shared machine: other load moves the figures, p99 most."
