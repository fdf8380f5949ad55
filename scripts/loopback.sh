# Sourced by the scripts: what every run on this machine shares, said once.
# shellcheck shell=bash

# Ports 5020, 32001 and 32002 are fixed, so checkouts on one machine take turns at this lock.
ports_lock=/tmp/tervian-ports.lock

# write_loopback_config FILE [DEBUGLOG]: the config.txt that keeps a bridge on 127.0.0.1, as
# the tests, fuzzers and decoder bench write it too; DEBUGLOG (0 or 1, default 0) sets the log.
loopback_config=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/loopback-config.txt
write_loopback_config() {
  sed "s/^DebugLog=.*/DebugLog=${2:-0}/" "$loopback_config" >"$1"
}
