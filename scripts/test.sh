#!/usr/bin/env bash
# Builds the bridge and its tools and runs the test suite. Usage: scripts/test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
cd "$build"
# Two at a time; the checks of the built programs on their fixed ports take the ports lock
# themselves, so other checkouts on this machine wait only for those.
QT_QPA_PLATFORM=offscreen ctest -j2 --output-on-failure --timeout 300
