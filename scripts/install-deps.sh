#!/usr/bin/env bash
# Installs everything ecran needs to build, run and test on Debian 12.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libqt6network6 libqt6dbus6 libgl-dev dbus-daemon
  libsqlite3-dev sqlite3
  libmosquitto-dev mosquitto mosquitto-clients openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils x11-xserver-utils imagemagick socat xdotool
  libx11-dev libxext-dev libxss-dev
  fonts-open-sans fonts-dejavu-core fontconfig
  systemd dpkg-dev file desktop-file-utils lintian
  clang libclang-rt-14-dev
)
# Node.js runs the second broker (aedes) and MQTT.js of the interoperability
# tests; a Node.js installed otherwise (node on PATH) is used as it is.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Node.js side of the tests, at the versions of its lock file.
interop="$(cd "$(dirname "$0")/.." && pwd)/tests/interop"
if [ ! -d "$interop/node_modules" ] || [ "$interop/package-lock.json" -nt "$interop/node_modules" ]; then
  echo "install-deps: npm ci in $interop" >&2
  npm ci --prefix "$interop" --no-audit --no-fund >/dev/null
fi
