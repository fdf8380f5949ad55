#!/usr/bin/env bash
# Runs the test suite again in an ASan+UBSan build and in a TSan build.
# Usage: scripts/test-sanitizers.sh [address|thread]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(address thread)
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
for kind in "${kinds[@]}"; do
  build="build-$kind"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRIDGE_SANITIZE="$kind" >/dev/null
  cmake --build "$build"
  (cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600)
done
