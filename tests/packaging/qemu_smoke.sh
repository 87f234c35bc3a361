#!/usr/bin/env bash
# The programs of a built package work, unpacked into an empty root: the
# display starts (offscreen) and stores a datagram from ecran-send, which
# ecran-config reads back; ecran-config sets a setting and reads it back;
# SIGTERM ends the display with status 0. A package of another architecture
# runs under qemu's user-mode emulation (qemu-user-static) with the arm64
# libraries of Debian's multiarch packages.
#   qemu_smoke.sh PACKAGE.deb
source "$(dirname "$0")/../e2e/lib.sh" "$1"
arch=$(dpkg-deb -f "$1" Architecture)
run=()
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  run=(qemu-"$(echo "$arch" | sed 's/arm64/aarch64/; s/armhf/arm/')"-static)
  command -v "${run[0]}" >/dev/null || skip "${run[0]} is missing (apt-get install qemu-user-static)"
fi
dpkg-deb -x "$1" "$WORK/root"
bin="$WORK/root/usr/bin"
ECRAN="$bin/ecran"
export XDG_RUNTIME_DIR="$WORK" QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

START_SECONDS=30 start_ecran "${run[@]}"  # emulated, the start takes a few seconds
check "ecran-send ($arch) sends" "${run[@]}" "$bin/ecran-send" --host 127.0.0.1 --port "$PORT" "Bonjour $arch"
check "ecran ($arch) stores the message" within 10 grep -q "^infos=Bonjour" "$INI"
check "ecran-config reads it back" [ "$("${run[@]}" "$bin/ecran-config" get historique infos)" = "Bonjour $arch" ]
check "ecran-config sets a setting" "${run[@]}" "$bin/ecran-config" set ecran allow 127.0.0.1
check "ecran-config gets what it set" [ "$("${run[@]}" "$bin/ecran-config" get ecran allow)" = 127.0.0.1 ]
check "SIGTERM ends ecran with status 0" ends_cleanly TERM
finish
