#!/usr/bin/env bash
# Soak run of the bridge: MINUTES (default 10) against tervian-sim streaming 1000 records a
# second and restarted every round of 20 s, while robot-probe, connecting afresh each round,
# switches the joint ID, the laser on and polls joint data at 100 Hz. After every round it
# samples the bridge's resident memory, open descriptors and threads and prints them as a table.
# The traffic capture is on, with a ring of CaptureMaxMB=2 that the first round fills. Fails when
# the descriptors, threads or resident memory at the end differ from those after the warm-up
# (the first connections, lazily loaded fonts and plugins, the ring filled, and the heap settled
# round it: 5 minutes, or half of a shorter run), when the robot goes unanswered, or when
# shutdown takes over 3 s.
# Usage: scripts/soak.sh [MINUTES]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/loopback.sh
minutes=${1:-10}
round_seconds=20
rounds=$((minutes * 60 / round_seconds))
[ "$rounds" -ge 3 ] || { echo "soak.sh: give at least 1 minute" >&2; exit 2; }
warmup_rounds=$((rounds / 2 < 15 ? rounds / 2 : 15))

if [ -z "${SOAK_RUN_DIR:-}" ]; then
  bash scripts/deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j 2 --target tervian-bridge tervian-sim robot-probe
  run=$(mktemp -d /tmp/tervian-soak.XXXXXX)
  # The run holds ports 5020, 32001 and 32002 throughout: in a private network namespace where
  # one can be made, otherwise under the machine's ports lock.
  if unshare -n true 2>/dev/null; then
    exec env SOAK_RUN_DIR="$run" unshare -n bash "$0" "$minutes"
  fi
  exec env SOAK_RUN_DIR="$run" flock "$ports_lock" bash "$0" "$minutes"
fi

run=$SOAK_RUN_DIR
bin=$PWD/build/bin
ip link set lo up 2>/dev/null || true
cp "$bin/tervian-bridge" "$run/"
write_loopback_config "$run/config.txt"
printf 'CaptureMinutes=10\nCaptureMaxMB=2\n' >>"$run/config.txt"

sim=""
bridge=""
fail() {
  echo "soak.sh: $*; files in $run" >&2
  exit 1
}
start_sim() {
  "$bin/tervian-sim" --address 127.0.0.1 --rate 1000 --stream-always --quiet 2>>"$run/sim.err" &
  sim=$!
}
stop_sim() {
  kill -TERM "$sim"
  { wait "$sim"; } 2>/dev/null || true # how it ended does not matter here
}
cleanup() {
  [ -z "$bridge" ] || kill -KILL "$bridge" 2>/dev/null || true
  [ -z "$sim" ] || kill -KILL "$sim" 2>/dev/null || true
}
trap cleanup EXIT

# The least of five samples 50 ms apart, so that a socket held for a moment is not counted.
count_least() {
  local least=1000000 n
  for _ in 1 2 3 4 5; do
    n=$(find "$1" -mindepth 1 -maxdepth 1 | wc -l)
    [ "$n" -lt "$least" ] && least=$n
    sleep 0.05
  done
  echo "$least"
}

start_sim
(cd "$run" && QT_QPA_PLATFORM=offscreen exec ./tervian-bridge 2>"$run/bridge.err") &
bridge=$!
for _ in $(seq 100); do
  "$bin/robot-probe" --timeout-ms 500 status >/dev/null 2>&1 && break
  sleep 0.1
done

printf '%6s %8s %10s %5s %8s\n' round elapsed rss_kb fds threads
started=$SECONDS
for ((round = 1; round <= rounds; round++)); do
  if [ "$round" -gt 1 ]; then
    stop_sim
    start_sim
  fi
  # The joint ID request comes first: it finds the restarted application's old connection
  # closed and reconnects, so the laser request goes out on the new one.
  "$bin/robot-probe" set-joint $((round % 5 + 1)) laser on \
    joint-data --repeat $((round_seconds * 100)) --interval 10 >"$run/robot.log" 2>&1 ||
    fail "round $round: the robot went unanswered ($(tail -1 "$run/robot.log"))"
  kill -0 "$bridge" 2>/dev/null || fail "round $round: the bridge has ended"
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$bridge/status")
  fds=$(count_least "/proc/$bridge/fd")
  threads=$(count_least "/proc/$bridge/task")
  printf '%6d %7ds %10d %5d %8d\n' "$round" $((SECONDS - started)) "$rss" "$fds" "$threads"
  if [ "$round" -eq "$warmup_rounds" ]; then
    base_rss=$rss base_fds=$fds base_threads=$threads
  fi
done

kill -TERM "$bridge"
for _ in $(seq 30); do
  kill -0 "$bridge" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$bridge" 2>/dev/null && fail "the bridge did not shut down within 3 s"
wait "$bridge" || fail "the bridge exited with status $?"
bridge=""

[ "$fds" -eq "$base_fds" ] || fail "open descriptors went from $base_fds to $fds"
[ "$threads" -eq "$base_threads" ] || fail "threads went from $base_threads to $threads"
[ "$rss" -le "$base_rss" ] || fail "resident memory grew from $base_rss kB to $rss kB"
echo "soak passed: $rounds rounds, memory after round $warmup_rounds $base_rss -> $rss kB, $fds descriptors, $threads threads"
rm -rf "$run"
