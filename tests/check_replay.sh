#!/usr/bin/env bash
# A session recorded by the bridge, with a joint moving at 500 records/s and the robot asking
# every few milliseconds, is replayed by both tools against a fresh bridge: the robot replies
# must all match to the byte, at the recorded pace and ten times faster, with the simulator
# seeing the bridge take in each record; the split records of the recording must arrive split
# again.
# The same capture with one recorded joint value changed gives exactly one difference, none
# within a wider tolerance; files that are no capture of the bridge's are refused by either
# tool. Opens the ports.
# Usage: check_replay.sh <bin folder> <scratch folder>
set -euo pipefail
source "$(cd "$(dirname "$0")" && pwd)/support/checks.sh"
bin=$1 work=$2
rm -rf "$work" && mkdir -p "$work" && cd "$work"
cp "$bin/tervian-bridge" .
write_loopback_config config.txt
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT

# The bridge has loaded its project and opened the stream: the robot may start. While
# recording, asking the bridge would be recorded too.
loaded() { grep -q "stream client connected" sim.log && grep -c '^reply: ' sim.log | grep -qv '^[01]$'; }
ready() { "$bin/robot-probe" status 2>/dev/null | grep -q "project ready"; }
start() { # condition, simulator options...
  "$bin/tervian-sim" "${@:2}" >sim.log 2>>sim.err & pids+=($!) sim=$!
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work ./tervian-bridge 2>bridge.err & pids+=($!)
  bridge=$!
  wait_for "$1"
}
save() { # name: the bridge's capture as name
  rm -f capture-2*.pcapng
  kill -USR1 "$bridge"
  wait_for grep -q "diagnostics saved to" bridge.err
  mv capture-2*.pcapng "$1"
  kill "$bridge" "$sim"; wait "$bridge" "$sim" || true
}
# Spaced so that each request finds the bridge settled, in the recording and in the replay.
probe() { sleep 0.3; "$bin/robot-probe" "$@" >/dev/null; }

start loaded --pieces --rate 500
probe status laser on
probe joint-data --repeat 20 --interval 7 status
probe set-joint 7
probe joint-id laser off
save session.pcapng

replay() { # capture, speed, probe options...: the probe's exit status, its output in replay.log
  start ready --replay "$1" --speed "$2"
  status=0
  "$bin/robot-probe" --replay "$1" --speed "$2" "${@:3}" >replay.log || status=$?
}
# The simulator holds the records in step with the probe: an unchanged bridge answers every
# request exactly as recorded, at the recorded pace and ten times faster.
replay session.pcapng 10
[ "$status" = 0 ] || fail "the session replayed at speed 10 with differences: $(cat replay.log)"
kill "$bridge" "$sim"; wait "$bridge" "$sim" || true
replay session.pcapng 1
[ "$status" = 0 ] || fail "the session replayed with differences: $(cat replay.log)"
grep -q "^replayed 26 requests on 4 connections: 0 differ$" replay.log || fail "$(cat replay.log)"
# It knew, rather than guessed, that the bridge had taken in the records.
[ ! -s sim.err ] || fail "the simulator: $(cat sim.err)"
save replayed.pcapng
if command -v tshark >/dev/null; then
  tshark -r replayed.pcapng -Y 'tcp.srcport == 32002 && tcp.len > 0' -T fields -e tcp.payload \
    >payloads.txt
  grep -qv '3b$' payloads.txt || fail "no record arrived split in the replay"
fi

# The area of the first recognised joint reading moves by 64 hundredths: the 14-byte reply
# between a TCP header that ends in PSH|ACK, window, checksum and urgent pointer, and its
# block's padding and length (88).
cp session.pcapng edited.pcapng
at=$(LC_ALL=C grep -obUaP '\x18\xff\xff[\x00-\xff]{2}\x00\x00\x82\x00\x00\x00[\x00-\xff]{10}\x00\x00\x58\x00\x00\x00' \
  edited.pcapng | head -n 1 | cut -d: -f1)
area=$((at + 7 + 13))
printf "\\x$(printf %02x $(($(od -An -tu1 -j$area -N1 edited.pcapng) ^ 64)))" |
  dd of=edited.pcapng bs=1 seek=$area conv=notrunc status=none
replay edited.pcapng 1 --tolerance 5
kill "$bridge" "$sim"; wait "$bridge" "$sim" || true
[ "$status" = 1 ] || fail "edited capture: exit $status"
[ "$(grep -c '^difference' replay.log)" = 1 ] || fail "edited capture: $(cat replay.log)"
grep -q '^difference at request [0-9]*, joint-data (01 06 00 00): recorded 82 00 .*), now 82 00 .*)$' \
  replay.log || fail "edited capture: $(cat replay.log)"
replay edited.pcapng 1 --tolerance 80
kill "$bridge" "$sim"; wait "$bridge" "$sim" || true
[ "$status" = 0 ] || fail "within tolerance: $(cat replay.log)"

# Not a capture, a cut one, and one of another link type: one line, exit 2, from either tool.
head -c -7 session.pcapng >cut.pcapng
cp session.pcapng ethernet.pcapng
printf '\x01' | dd of=ethernet.pcapng bs=1 seek=$(($(od -An -tu4 -j4 -N4 session.pcapng) + 8)) \
  conv=notrunc status=none
for file in config.txt cut.pcapng ethernet.pcapng; do
  for tool in "tervian-sim --command-port 1 --stream-port 2" robot-probe; do
    status=0
    $bin/$tool --replay "$file" >/dev/null 2>err.txt || status=$?
    [ "$status" = 2 ] && [ "$(wc -l <err.txt)" = 1 ] || fail "$tool on $file: exit $status, $(cat err.txt)"
  done
done
echo "replay checked"
