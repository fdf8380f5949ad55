# Sourced by the shell checks that run the bridge: failing, comparing and waiting said once, and
# the loopback settings of every run on this machine.
# shellcheck shell=bash
# shellcheck source=../../scripts/loopback.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/loopback.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
expect() { [ "$1" = "$2" ] || fail "$3:"$'\n'"got:"$'\n'"$1"$'\n'"expected:"$'\n'"$2"; }
wait_for() { # command... : true within 20 s
  local deadline=$((SECONDS + 20))
  until "$@"; do ((SECONDS < deadline)) || fail "timed out: $*"; sleep 0.1; done
}
