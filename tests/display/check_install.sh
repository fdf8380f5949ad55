#!/usr/bin/env bash
# Installs the package that check_package built into a scratch root with dpkg itself, maintainer
# scripts included, and checks what the operators of the cell meet: settings and log writable
# through the group while the programs stay root's, a config.txt made read-only still read and
# left alone, and the operators' settings kept over an upgrade and a removal until a purge.
# The host is left alone: the group tools are fakes that map the group to a spare gid, and an
# operator is played by nobody in that gid. Opens the bridge's ports.
# Usage: check_install.sh <folder holding the .deb> <scratch folder>
set -euo pipefail
deb=$(echo "$1"/*.deb)
scratch=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: playing an operator and owning files by the group need root"
  exit 77
fi

gid=64999
operator=(setpriv --reuid=65534 --regid=65534 --groups="$gid" env HOME="$scratch/home"
  XDG_RUNTIME_DIR="$scratch/home")
root=$scratch/root
bin=$root/opt/tervian-bridge/bin
fake=$scratch/fake
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done' EXIT

# shellcheck source=../support/checks.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/checks.sh"
modes() { stat -c '%a %u:%g' "$@"; }

rm -rf "$scratch"
# /opt holds another program's folder, as on most cell PCs.
mkdir -p -m 755 "$scratch"
mkdir -p "$fake" "$root"/var/lib/dpkg/{info,updates} "$root/opt/other"
install -d -o 65534 -m 700 "$scratch/home"
touch "$root"/var/lib/dpkg/{status,available}
printf '#!/bin/sh\n[ -e %s/$1-added ]\n' "$scratch" >"$fake/getent"
printf '#!/bin/sh\necho "$*" >>%s/group-added\n' "$scratch" >"$fake/groupadd"
printf '#!/bin/sh\necho "$*" >>%s/passwd-added\n' "$scratch" >"$fake/useradd"
printf '#!/bin/sh\necho "$*" >>%s/passwd-removed\n' "$scratch" >"$fake/userdel"
for tool in chown chgrp; do
  printf '#!/bin/sh\nexec /bin/%s "$(echo "$1" | sed s/tervian$/%s/)" "$2"\n' $tool $gid >"$fake/$tool"
done
chmod +x "$fake"/*
dpkg_root() {
  PATH=$fake:$PATH dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null \
    "$@" >>"$scratch/dpkg.log" 2>&1 || fail "dpkg $*, see $scratch/dpkg.log"
}

dpkg-deb -e "$deb" "$scratch/control"
sh -n "$scratch/control/postinst" && sh -n "$scratch/control/postrm"
dpkg_root -i "$deb"
expect "$(cat "$scratch/group-added")" "--system tervian" "group created on install"
expect "$(cat "$scratch/passwd-added")" "--system --gid tervian --no-create-home --home-dir \
/nonexistent --shell /usr/sbin/nologin --comment Tervian bridge service tervian-bridge" \
  "service user created on install"
shared="$(printf '664 0:%s\n664 0:%s\n664 0:%s' $gid $gid $gid)"
expect "$(modes "$bin" "$bin"/{config.txt,DebugLog.txt,DebugLog.old.txt,tervian-bridge} \
  "$bin/../help/KPLM604.pdf")" "$(printf '2755 0:%s\n%s\n755 0:0\n644 0:0' $gid "$shared")" \
  "installed modes"
for program in tervian-bridge robot-probe tervian-sim tervian-history; do
  expect "$(readlink "$root/usr/bin/$program")" "/opt/tervian-bridge/bin/$program" "launcher"
done
desktop=$root/usr/share/applications/tervian-bridge.desktop
desktop-file-validate "$desktop" "$root"/usr/share/doc/tervian-bridge/examples/autostart/*.desktop ||
  fail "desktop entry"
grep -qx 'Exec=/opt/tervian-bridge/bin/tervian-bridge' "$desktop" || fail "desktop entry Exec"

"$bin/tervian-sim" --address 127.0.0.1 >"$scratch/sim.out" &
pids+=($!)
wait_for grep -q "^listening on" "$scratch/sim.out"

# Runs the bridge as $3 (operator or root) until the simulator has seen it load project $2 and
# its log says so, then shuts it down like closing the window.
run_bridge() {
  local as=("${operator[@]}")
  [ "$3" = operator ] || as=()
  "${as[@]}" "$1" >>"$scratch/bridge.out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  wait_for grep -q "FILE=\"$2.t_p\"" "$scratch/sim.out"
  wait_for grep -q 'Tervian project is ready' "$(dirname "$(readlink -f "$1")")/DebugLog.txt"
  kill -TERM $pid
  wait $pid || fail "the bridge ended with $?"
}

# A run from a config.txt without a project and the log of an earlier run writes the default
# project and keeps that log as the old one. Whoever runs it (root may replace config.txt to add
# the defaults, and create a missing log), all three stay the group's to write.
run_from_stale() {
  printf '[General]\nScannerIP=127.0.0.1\nDebugLog=1\n' >"$bin/config.txt"
  echo "stale run" >"$bin/DebugLog.txt"
  [ "$2" = operator ] || rm "$bin/DebugLog.old.txt" # only the package can make it for operators
  run_bridge "$1" 1 "$2"
  grep -qx 'ProjectID=1' "$bin/config.txt" || fail "the default project was not written ($2)"
  ! grep -q "stale run" "$bin/DebugLog.txt" || fail "the log of the last run was not emptied ($2)"
  grep -qx "stale run" "$bin/DebugLog.old.txt" || fail "the log of the last run was not kept ($2)"
  expect "$(modes "$bin"/{config.txt,DebugLog.txt,DebugLog.old.txt})" "$shared" \
    "settings and logs after a run as $2"
}

# An operator starts the installed bridge through a link, as through the launcher: it keeps its
# files beside the real executable, writes them in place and cannot touch the programs.
ln -s "$bin/tervian-bridge" "$scratch/tervian-bridge"
run_from_stale "$scratch/tervian-bridge" operator
# The history too is written in the files the package made, and read back by the operator.
"${operator[@]}" "$bin/tervian-history" --kind links | grep -Eq 'command +up' ||
  fail "the operator's run kept no history"
expect "$(modes "$bin"/history.sqlite{,-wal,-shm})" "$shared" "history files after a run"
run_from_stale "$bin/tervian-bridge" root
! "${operator[@]}" sh -c "test -w '$bin/tervian-bridge' || touch '$bin/planted'" 2>/dev/null ||
  fail "an operator may change the programs"

# A config.txt that an administrator made read-only, in a folder the operator may write: its
# values are used and the file is neither rewritten nor replaced.
mkdir "$scratch/own"
cp "$bin/tervian-bridge" "$scratch/own/"
printf '[General]\nScannerIP=127.0.0.1\nProjectID=7\nDebugLog=1\n' | tee "$scratch/locked.txt" \
  >"$scratch/own/config.txt"
chmod 444 "$scratch/own/config.txt"
chown 65534 "$scratch/own"
inode=$(stat -c %i "$scratch/own/config.txt")
run_bridge "$scratch/own/tervian-bridge" 7 operator
cmp -s "$scratch/locked.txt" "$scratch/own/config.txt" || fail "the read-only config.txt changed"
expect "$(stat -c '%i %a %u' "$scratch/own/config.txt")" "$inode 444 0" "read-only config.txt"

# An upgrade keeps the operators' settings and the administrator's mode, and the group.
cp "$bin/config.txt" "$scratch/settings.txt"
chmod 444 "$bin/config.txt"
dpkg_root -i "$deb"
cmp -s "$scratch/settings.txt" "$bin/config.txt" || fail "the upgrade changed config.txt"
expect "$(modes "$bin" "$bin/config.txt")" "$(printf '2755 0:%s\n444 0:%s' $gid $gid)" \
  "modes after the upgrade"
expect "$(wc -l <"$scratch/group-added")" 1 "group creations"

dpkg_root -r tervian-bridge
[ ! -e "$bin/tervian-bridge" ] || fail "the removal left the program"
cmp -s "$scratch/settings.txt" "$bin/config.txt" || fail "the removal lost config.txt"
dpkg_root -P tervian-bridge
expect "$(cat "$scratch/passwd-removed")" "tervian-bridge" "service user removed on purge"
[ ! -e "$root/opt/tervian-bridge" ] || fail "the purge left $(ls -A "$bin")"
[ -d "$root/opt/other" ] && ! grep "warning: .*/opt" "$scratch/dpkg.log" || fail "purge and /opt"
echo "installed, run by an operator, upgraded, removed and purged"
