#!/usr/bin/env bash
# The units as the package ships them pass systemd's own checks, without a booted systemd:
# "systemd-analyze verify" says nothing of either, and the system unit's exposure is rated OK
# or better. Usage: check_units.sh PACKAGE_ROOT SCRATCH (PACKAGE_ROOT: the extracted .deb).
set -euo pipefail
root=$1 scratch=$2
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
system_unit=$root/lib/systemd/system/tervian-bridge.service
user_unit=$root/usr/lib/systemd/user/tervian-bridge-window.service
rm -rf "$scratch"
mkdir -p "$scratch/runtime"

# verify also wants the program that ExecStart names: the copies name the packaged one where
# it was extracted, and differ in nothing else.
silent_verify() {
    local copy
    copy=$scratch/$(basename "$1")
    sed "s|^ExecStart=/opt/|ExecStart=$root/opt/|" "$1" >"$copy"
    local said
    said=$(XDG_RUNTIME_DIR=$scratch/runtime systemd-analyze verify --man=no "${@:2}" "$copy" 2>&1)
    if [ -n "$said" ]; then
        echo "systemd-analyze verify $*:"
        echo "$said"
        return 1
    fi
}
silent_verify "$system_unit"
silent_verify "$user_unit" --user

rating=$(systemd-analyze security --offline=yes "$system_unit" 2>&1 | grep 'Overall exposure level')
echo "$rating"
case $rating in
*": "[0-9.]*" OK"* | *" SAFE"* | *" PERFECT"*) ;;
*) echo "the exposure of tervian-bridge.service is rated worse than OK"; exit 1 ;;
esac
