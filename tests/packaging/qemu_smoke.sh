#!/bin/sh
# The programs of a built package work: unpacked into an empty root, the
# display starts (offscreen), receives a datagram from ecran-send and stores
# it; ecran-config reads the stored message back, sets a setting and reads
# it back; SIGTERM ends the display with status 0. A package of another
# architecture (arm64 on an amd64 machine) runs under qemu's user-mode
# emulation (qemu-user-static), with the arm64 libraries of Debian's
# multiarch packages.
#   qemu_smoke.sh PACKAGE.deb
set -eu
deb=${1:?usage: qemu_smoke.sh PACKAGE.deb}

fail() { echo "FAIL: $*" >&2; exit 1; }

arch=$(dpkg-deb -f "$deb" Architecture)
run=""
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  case $arch in
    arm64) emulator=qemu-aarch64-static ;;
    armhf) emulator=qemu-arm-static ;;
    *) fail "no emulator known for $arch" ;;
  esac
  command -v $emulator >/dev/null || { echo "SKIP: $emulator is missing (apt-get install qemu-user-static)"; exit 77; }
  run=$emulator
fi

tmp=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"
bin="$tmp/root/usr/bin"
export XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp" QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
ini="$XDG_CONFIG_HOME/ecran/QUOLVEtavrin.ini"

$run "$bin/ecran" 2>"$tmp/ecran.err" &
pid=$!
port=""
# Emulated, the start takes a few seconds.
for _ in $(seq 1 300); do
  port=$(sed -n 's/.*listening on UDP port \([0-9]*\).*/\1/p' "$tmp/ecran.err")
  [ -n "$port" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { cat "$tmp/ecran.err" >&2; fail "ecran ($arch) did not start"; }
echo "ok: ecran ($arch) listens on UDP port $port"

$run "$bin/ecran-send" --host 127.0.0.1 --port "$port" "Bonjour $arch" || fail "ecran-send failed"
for _ in $(seq 1 100); do
  grep -q "^infos=Bonjour $arch" "$ini" 2>/dev/null && break
  sleep 0.1
done
stored=$($run "$bin/ecran-config" get historique infos) || fail "ecran-config get failed"
[ "$stored" = "Bonjour $arch" ] || fail "the display stored '$stored', not 'Bonjour $arch'"
echo "ok: the datagram from ecran-send is stored, and ecran-config reads it back"

$run "$bin/ecran-config" set ecran allow 127.0.0.1 || fail "ecran-config set failed"
[ "$($run "$bin/ecran-config" get ecran allow)" = 127.0.0.1 ] || fail "ecran-config get does not read back the set value"
grep -q '^allow=127.0.0.1' "$ini" || fail "the set value is not in $ini"
echo "ok: ecran-config set, then get"

kill -TERM $pid
status=0
wait $pid || status=$?
pid=""
[ $status -eq 0 ] || { cat "$tmp/ecran.err" >&2; fail "SIGTERM ended ecran with status $status"; }
echo "ok: SIGTERM ends ecran with status 0"
