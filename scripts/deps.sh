#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running the bridge need,
# skipping what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qtbase5-dev-tools
  clang libclang-rt-14-dev
  fonts-liberation
  iproute2 util-linux procps psmisc
  poppler-utils desktop-file-utils dpkg-dev fakeroot file
  libqt5svg5-dev help2man man-db appstream lintian
  tshark libpcap-dev libsystemd-dev systemd
  # Plant telemetry: MQTT and its payload; the tests start their own mosquitto broker on a free
  # loopback port and make their TLS certificates with openssl.
  libmosquitto-dev libprotobuf-dev protobuf-compiler mosquitto mosquitto-clients openssl
  libsqlite3-dev sqlite3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
# tshark would otherwise ask whether non-root users may capture.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
