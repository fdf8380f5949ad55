#!/usr/bin/env bash
# Builds the bridge and its tools and runs the test suite. Usage: scripts/test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/loopback.sh
bash scripts/deps.sh
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
cd "$build"
# Other checkouts on this machine use the same fixed ports: take turns.
QT_QPA_PLATFORM=offscreen flock "$ports_lock" ctest --output-on-failure --timeout 300
