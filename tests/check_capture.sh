#!/usr/bin/env bash
# A short robot session through the bridge and the simulator, saved with SIGUSR1 and read back by
# tshark with the shipped dissector: every robot request name, reply and value in millimetres,
# every DIDE element and the record count must be what the probe and the simulator saw. One
# request reaches the bridge in two pieces and must come out whole, flagged. Opens the ports.
# Usage: check_capture.sh <bin folder> <tervian.lua> <scratch folder>
set -euo pipefail
source "$(cd "$(dirname "$0")" && pwd)/support/checks.sh"
bin=$1 lua=$2 work=$3
command -v tshark >/dev/null || { echo "skipped: tshark is not installed"; exit 77; }
rm -rf "$work" && mkdir -p "$work" && cd "$work"
cp "$bin/tervian-bridge" .
write_loopback_config config.txt
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT

# Nothing to save, with the capture off and with nothing recorded yet: the bridge says so and
# writes no file.
listening() { grep -q ':139C 00000000:0000 0A' /proc/net/tcp; }
for setting in "0:the traffic capture is off" "10:no traffic recorded yet"; do
  write_loopback_config config.txt
  echo "CaptureMinutes=${setting%%:*}" >>config.txt
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work ./tervian-bridge 2>bridge.err & pids+=($!)
  wait_for listening
  kill -USR1 $!
  wait_for grep -q "nothing saved: ${setting#*:}" bridge.err
  kill $! && wait $! || true
done
expect "$(ls capture-* 2>/dev/null)" "" "files saved without a capture"

"$bin/tervian-sim" --pieces --values 0,1.5,-2.25,3,4,327.67 >sim.log & pids+=($!)
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work ./tervian-bridge 2>bridge.err & pids+=($!)
bridge=$!
probe() { "$bin/robot-probe" "$@" >>probe.log; }
ready() { probe status 2>/dev/null && tail -n 1 probe.log | grep -q "link ok, project ready"; }
wait_for ready
probe status laser on joint-data --repeat 3 --interval 50 set-joint 7 joint-id laser off
# The joint-ID query in two halves, 50 ms apart (within the 200 ms a request may take). The bridge
# listens anew after each robot, so a connection made in between is reset: then try again.
split_request() (
  exec 3<>/dev/tcp/127.0.0.1/5020 && printf '\x01\x01' >&3 && sleep 0.05 &&
    printf '\x10\x00' >&3 && [ "$(timeout 2 head -c 4 <&3 | wc -c)" -eq 4 ]
) 2>/dev/null
wait_for split_request
# The wishes reach the application after the probe has its replies: wait until the last (laser
# off after the load of project 7) is answered, so the capture holds what sim.log does.
answered() { [ "$(grep -c '^reply: ' sim.log)" -ge 5 ]; }
wait_for answered

kill -USR1 "$bridge"
wait_for grep -q "diagnostics saved to" bridge.err
file=$(ls capture-2*.pcapng)
fields() { tshark -2 -X lua_script:"$lua" -r "$file" -T fields "$@" 2>>tshark.err; }

# The probe's lines: "name: HEX (meaning)", with names in the probe's words.
names=$(sed -E 's/:.*//; s/^status$/Status query/; s/^laser on$/Laser on/; s/^laser off$/Laser off/;
  s/^joint-data$/Joint-data query/; s/^set-joint .*/Set joint ID/; s/^joint-id$/Joint-ID query/' probe.log)
expect "$(fields -Y 'tervian_robot.name && !tervian_robot.split' -e tervian_robot.name)" "$names" \
  "robot requests"
expect "$(fields -Y 'tervian_robot.split' -e tervian_robot.name)" "Joint-ID query" "split request"
expect "$(fields -Y 'tervian_robot.request_in' -e tervian_robot.reply -E aggregator=' ' |
  tr 'a-f:' 'A-F ' | head -n "$(wc -l <probe.log)")" "$(sed -E 's/^[^:]*: ([0-9A-F ]*) \(.*/\1/' probe.log)" \
  "robot replies"
expect "$(fields -Y 'tervian_robot.result' -e tervian_robot.y -e tervian_robot.z -e tervian_robot.width \
  -e tervian_robot.zdiff -e tervian_robot.area | awk '{printf "%.2f %.2f %.2f %.2f %.2f\n", $1, $2, $3, $4, $5}')" \
  "$(grep '^joint-data' probe.log | grep -oE -- '-?[0-9]+\.[0-9]{2}' | paste -d' ' - - - - -)" \
  "joint values in millimetres"

expect "$(fields -Y 'tervian_dide.element' -e tervian_dide.element -E aggregator='|' | tr '|' '\n')" \
  "$(sed -nE 's/^(request|reply): //p' sim.log)" "DIDE elements"
expect "$(fields -Y 'tervian_dide.dir != "Request" && !tervian_dide.request_in' -e frame.number)" "" \
  "DIDE replies without their request"

records=$(fields -Y tervian_stream.record -e tervian_stream.record -E aggregator='|' | tr '|' '\n' |
  grep -c .)
semicolons=$(fields -Y 'tcp.srcport == 32002 && tcp.len > 0' -e tcp.payload | fold -w2 | grep -c '^3b$')
[ "$records" -gt 0 ] || fail "no measurement record decoded"
expect "$records" "$semicolons" "records against the ';' the stream carried"
[ -n "$(fields -Y 'tervian_stream.record && tcp.segment.count > 1' -e frame.number)" ] ||
  fail "no record reassembled across segments"
expect "$(grep -v '^Running as user' tshark.err || true)" "" "tshark's complaints"
echo "capture checked: $(wc -l <probe.log) robot replies, $records records"
