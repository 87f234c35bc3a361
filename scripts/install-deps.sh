#!/usr/bin/env bash
# Installs everything ecran needs to build, run and test on Debian 12.
# Idempotent: packages already present are left alone.
#   install-deps.sh          the native build, its tests and the Wayland test
#   install-deps.sh --arm64  also the arm64 cross-build and qemu (adds the
#                            arm64 architecture to dpkg)
set -euo pipefail
arm64=false
case "${1:-}" in
  --arm64) arm64=true ;;
  "") ;;
  *) echo "usage: install-deps.sh [--arm64]" >&2; exit 2 ;;
esac

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libqt6network6 libqt6dbus6 libgl-dev dbus-daemon
  libsqlite3-dev sqlite3
  libmosquitto-dev mosquitto mosquitto-clients openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils x11-xserver-utils imagemagick socat xdotool
  libx11-dev libxext-dev libxss-dev
  libwayland-dev libwayland-bin wayland-protocols qt6-base-private-dev qt6-wayland sway swayidle xwayland grim
  fonts-open-sans fonts-dejavu-core fontconfig
  systemd dpkg-dev file desktop-file-utils lintian
  clang libclang-rt-14-dev lld
  qt6-httpserver-dev qt6-websockets-dev chromium wrk curl
)
# The console's browser and OpenAPI tests, the second broker (aedes) and
# MQTT.js of the fleet's interoperability tests run on Node.js; one already
# installed (from another source) is kept.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

# What the arm64 package is built from: the cross compiler and the arm64
# builds of every library the programs and the display tests link.
if $arm64; then
  packages+=(crossbuild-essential-arm64 qemu-user-static)
  for p in qt6-base-dev qt6-base-private-dev qt6-httpserver-dev qt6-websockets-dev qt6-qpa-plugins libgl-dev libsqlite3-dev libmosquitto-dev \
           libx11-dev libxext-dev libxss-dev libwayland-dev libgtest-dev libgmock-dev; do
    packages+=("$p:arm64")
  done
fi

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
  if $arm64 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
  fi
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Node.js side of the fleet's tests, at the versions of its lock file.
interop="$(cd "$(dirname "$0")/.." && pwd)/tests/interop"
if [ ! -d "$interop/node_modules" ] || [ "$interop/package-lock.json" -nt "$interop/node_modules" ]; then
  echo "install-deps: npm ci in $interop" >&2
  npm ci --prefix "$interop" --no-audit --no-fund >/dev/null
fi
