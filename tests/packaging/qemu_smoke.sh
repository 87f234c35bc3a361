#!/bin/sh
# The programs of a built package work, unpacked into an empty root: the
# display starts (offscreen) and stores a datagram from ecran-send, which
# ecran-config reads back; ecran-config sets a setting and reads it back;
# SIGTERM ends the display with status 0. A package of another architecture
# runs under qemu's user-mode emulation (qemu-user-static) with the arm64
# libraries of Debian's multiarch packages.
#   qemu_smoke.sh PACKAGE.deb
set -eu
fail() { echo "FAIL: $*" >&2; exit 1; }
arch=$(dpkg-deb -f "$1" Architecture)
run=""
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  run=qemu-$(echo "$arch" | sed 's/arm64/aarch64/; s/armhf/arm/')-static
  command -v "$run" >/dev/null || { echo "SKIP: $run is missing (apt-get install qemu-user-static)"; exit 77; }
fi
tmp=$(mktemp -d)
pid=""
trap 'kill $pid 2>/dev/null || true; rm -rf "$tmp"' EXIT
dpkg-deb -x "$1" "$tmp/root"
bin="$tmp/root/usr/bin"
export XDG_CONFIG_HOME="$tmp" XDG_RUNTIME_DIR="$tmp" QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

$run "$bin/ecran" 2>"$tmp/err" &
pid=$!
for _ in $(seq 300); do # emulated, the start takes a few seconds
  port=$(sed -n 's/.*listening on UDP port \([0-9]*\).*/\1/p' "$tmp/err")
  [ -n "$port" ] || ! kill -0 $pid 2>/dev/null && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$tmp/err" >&2; fail "ecran ($arch) did not start"; }
$run "$bin/ecran-send" --host 127.0.0.1 --port "$port" "Bonjour $arch" || fail "ecran-send failed"
for _ in $(seq 100); do grep -q "^infos=Bonjour" "$tmp/ecran/QUOLVEtavrin.ini" 2>/dev/null && break; sleep 0.1; done
[ "$($run "$bin/ecran-config" get historique infos)" = "Bonjour $arch" ] || fail "the message is not stored"
echo "ok: ecran ($arch) stores what ecran-send sends, and ecran-config reads it back"
$run "$bin/ecran-config" set ecran allow 127.0.0.1 || fail "ecran-config set failed"
[ "$($run "$bin/ecran-config" get ecran allow)" = 127.0.0.1 ] || fail "ecran-config get does not read back its set"
echo "ok: ecran-config set, then get"
kill -TERM $pid
wait $pid && status=0 || status=$?
[ $status -eq 0 ] || { cat "$tmp/err" >&2; fail "SIGTERM ended ecran with status $status"; }
echo "ok: SIGTERM ends ecran with status 0"
