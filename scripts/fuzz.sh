#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) into build-fuzz and runs each of them first
# over its whole corpus (the committed one in fuzz/corpus and what earlier runs found), once per
# input, so that a known fault fails every run and not only the unlucky ones; then it explores
# for SECONDS seconds from there. New inputs go to
# build-fuzz/fuzz/corpus/<target>, findings to build-fuzz/fuzz/findings/<target>-*, full output
# to build-fuzz/fuzz/<target>.log. Exits non-zero when any target reports a finding.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(fuzz_robot_request fuzz_record_decoder fuzz_dide_reply fuzz_capture_reader)
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DBRIDGE_SANITIZE=address -DBRIDGE_BUILD_FUZZERS=ON -DBRIDGE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
out="$build/fuzz"
mkdir -p "$out/findings"
failed=0
printf '%-22s %14s %10s  %s\n' target executions exec/s result
for target in "${targets[@]}"; do
  mkdir -p "$out/corpus/$target"
  log="$out/$target.log"
  result=ok
  fuzz=("$out/$target/$target" -timeout=10
    -print_final_stats=1 -artifact_prefix="$out/findings/$target-")
  # No length limit here: a corpus input is replayed whole.
  if ! "${fuzz[@]}" -runs=0 "$out/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    result="FINDING in the corpus"
    failed=1
  elif ! "${fuzz[@]}" -max_total_time="$seconds" -max_len=600 "$out/corpus/$target" \
    "fuzz/corpus/$target" >>"$log" 2>&1; then
    result=FINDING
    failed=1
  fi
  # The figures of the last run the log holds.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-22s %14s %10s  %s\n' "$target" "${runs:-?}" "${rate:-?}" "$result"
done
[ "$failed" -eq 0 ] || echo "Findings and their logs: $out/findings/, $out/*.log"
exit "$failed"
