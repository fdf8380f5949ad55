#!/usr/bin/env bash
# Runs the bridge against the vision-application simulator on loopback and plays the robot with
# robot-probe: status, joint choice, laser on, a dozen joint readings, laser off, and saves the
# bridge's capture of the run with SIGUSR1, as an engineer would on a cell. Everything runs
# from run/ (an installed tree: bin/ and help/), with its own config.txt. With a display the
# bridge shows its real window; without one it runs offscreen.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
run=$root/run
source scripts/loopback.sh
lock=$ports_lock
sim_pid=""
bridge_pid=""

say() { echo "== $*"; }
fail() {
  echo "demo: $*" >&2
  exit 1
}

# Polls a condition for up to $1 seconds; the remaining arguments are the condition.
wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 10))
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

listening() { ss -Hltn "sport = :$1" | grep -q .; }
sim_said() { grep -q -- "$1" "$run/sim.log"; }
alive() { kill -0 "$1" 2>/dev/null; }

# Ends a process started here: SIGTERM, then up to 10 s for it to exit on its own.
stop() {
  local pid=$1 name=$2 status=0
  kill -TERM "$pid" 2>/dev/null || true
  wait_for 10 eval "! alive $pid" || fail "$name did not exit within 10 s of SIGTERM"
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "$name exited with status $status"
}

cleanup() {
  for pid in $bridge_pid $sim_pid; do
    alive "$pid" && kill -KILL "$pid" 2>/dev/null
  done
  return 0
}
trap cleanup EXIT

show_log_tail() {
  echo "--- last lines of $1" >&2
  tail -n 15 "$1" >&2 || true
}

probe() {
  "$run/bin/robot-probe" "$@" | tee -a "$run/probe.log" || fail "robot-probe $* failed"
}

say "Checking packages"
bash scripts/deps.sh

say "Building into $build"
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tervian-bridge tervian-sim robot-probe tervian-history manual >/dev/null ||
  fail "build failed: run 'cmake --build $build' to see why"

say "Laying out $run"
rm -rf "$run"
cmake --install "$build" --prefix "$run" >/dev/null || fail "install into $run failed"
write_loopback_config "$run/bin/config.txt" 1

# Ports 5020, 32001 and 32002 are fixed, so runs on one machine take turns. Children are
# started without the lock's descriptor; the lock ends with this script.
exec 9>"$lock"
flock -w 300 9 || fail "ports still in use by another run after 5 minutes ($lock)"
for port in 5020 32001 32002; do
  listening "$port" && fail "port $port is already in use by another program"
done

say "Starting the simulator on 127.0.0.1 (replies and records in random pieces)"
"$run/bin/tervian-sim" --address 127.0.0.1 --pieces >"$run/sim.log" 2>&1 9>&- &
sim_pid=$!
wait_for 10 sim_said "^listening on" || { show_log_tail "$run/sim.log"; fail "simulator did not start"; }

if [ -n "${DISPLAY:-}" ]; then
  say "Starting the bridge (window on $DISPLAY)"
  platform=()
else
  say "Starting the bridge (no display: offscreen)"
  platform=(env QT_QPA_PLATFORM=offscreen)
fi
(cd "$run/bin" && exec "${platform[@]}" ./tervian-bridge) >"$run/bridge.log" 2>&1 9>&- &
bridge_pid=$!
wait_for 15 listening 5020 || { show_log_tail "$run/bridge.log"; fail "bridge does not listen on port 5020"; }
wait_for 15 sim_said "stream client connected" || {
  show_log_tail "$run/sim.log"
  fail "bridge did not set up the vision application"
}

say "Robot: status, joint 2, laser on"
probe status set-joint 2 laser on
wait_for 10 sim_said "acquisition on" || { show_log_tail "$run/sim.log"; fail "acquisition was not switched on"; }
wait_for 10 eval "grep -A1 -- 'FILE=\"2.t_p\"' '$run/sim.log' | grep -q '^reply:'" ||
  fail "project 2 was not loaded"

say "Robot: joint ID, twelve joint readings, laser off"
probe joint-id joint-data --repeat 12 --interval 200 laser off
grep -q '^joint-data: 82 00 ' "$run/probe.log" || fail "no reading reported a recognised joint"
wait_for 10 eval "[ \$(grep -c 'acquisition off' '$run/sim.log') -ge 2 ]" || fail "acquisition was not switched off"

say "Robot: final status"
probe status
final_status=$(tail -n 1 "$run/probe.log")

if [ -n "${DISPLAY:-}" ] && [ -t 0 ]; then
  read -r -p "The window stays open: press Enter to shut down. "
fi

say "Saving the traffic capture (SIGUSR1)"
kill -USR1 "$bridge_pid"
wait_for 10 eval "grep -q 'diagnostics saved to' '$run/bridge.log'" || fail "the bridge saved no capture"
capture=$(sed -n 's/^tervian-bridge: diagnostics saved to //p' "$run/bridge.log" | tail -n 1)

say "Shutting down"
stop "$bridge_pid" "the bridge"
bridge_pid=""
stop "$sim_pid" "the simulator"
sim_pid=""

say "Summary"
echo "debug log:        $(wc -l <"$run/bin/DebugLog.txt") lines in run/bin/DebugLog.txt"
echo "vision requests:  $(grep -c '^request:' "$run/sim.log") (run/sim.log)"
echo "robot replies:    $(grep -c ': 82' "$run/probe.log") (run/probe.log)"
echo "final status:     ${final_status}"
echo "manual:           run/help/KPLM604.pdf"
echo "capture:          ${capture#"$root"/}"
echo "  open it with:   wireshark -X lua_script:packaging/wireshark/tervian.lua ${capture#"$root"/}"
echo "  or:             tshark -2 -X lua_script:packaging/wireshark/tervian.lua -r ${capture#"$root"/}"
echo "  (with the package installed, the dissector loads by itself: wireshark ${capture##*/})"
echo "demo finished"
