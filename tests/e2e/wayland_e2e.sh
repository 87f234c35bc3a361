#!/usr/bin/env bash
# ecran in a real Wayland compositor (sway, headless) keeps it from going
# idle while it runs, and only then: `swayidle -w timeout 2` must not fire
# while the display is up, and must fire once it has stopped. Under Xwayland
# the start-up line must say that nothing keeps the compositor awake, and
# indeed the compositor goes idle.
#   wayland_e2e.sh path/to/ecran
# sway refuses to run as root: as root, the compositor and the display run
# as nobody, from a private copy of the program (the tree may sit in a
# folder that user cannot enter).
set -euo pipefail
ecran=${1:?usage: $0 path/to/ecran}

skip() { echo "SKIP: $*"; exit 77; }
for tool in sway swayidle; do
  command -v $tool >/dev/null || skip "$tool is not installed (apt-get install sway swayidle)"
done
[ -n "$(find /usr/lib/*/qt6/plugins/platforms -name 'libqwayland-generic.so' 2>/dev/null)" ] ||
  skip "Qt's Wayland platform is not installed (apt-get install qt6-wayland)"

work=$(mktemp -d)
pids=()
failures=0
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "kept $work for inspection" >&2; fi
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null || skip "running as root, and setpriv is missing to run sway as nobody"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  chmod 755 "$work"
fi
mkdir -m 700 "$work/run" "$work/home"
cp "$ecran" "$work/ecran"
cat >"$work/sway.conf" <<EOF
output HEADLESS-1 mode 1280x720
xwayland enable
exec sh -c 'echo "\$DISPLAY" >$work/home/xdisplay'
EOF
[ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$work/run" "$work/home"

# Only what the compositor and the display need: no desktop's session bus.
session=(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/config"
         XDG_RUNTIME_DIR="$work/run")
(cd "$work" && exec "${as_user[@]}" "${session[@]}" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
  WLR_RENDERER=pixman sway -c "$work/sway.conf" >"$work/sway.log" 2>&1) &
pids+=($!)
socket=""
for _ in $(seq 1 100); do
  socket=$(cd "$work/run" && ls -d wayland-[0-9]* 2>/dev/null | grep -v lock | head -1 || true)
  [ -n "$socket" ] && [ -s "$work/home/xdisplay" ] && break
  kill -0 "${pids[0]}" 2>/dev/null || break
  sleep 0.1
done
[ -n "$socket" ] || { tail -5 "$work/sway.log"; skip "the headless sway did not start (log above)"; }
session+=(WAYLAND_DISPLAY="$socket")

# Starts the display with the extra environment given; waits for the line
# that says what keeps the screen awake, into $awake.
start_ecran() {
  : >"$work/ecran.err"
  (cd "$work" && exec "${as_user[@]}" "${session[@]}" "$@" ./ecran 2>"$work/ecran.err") &
  ecran_pid=$!
  pids+=($ecran_pid)
  awake=""
  for _ in $(seq 1 100); do
    awake=$(grep -m1 'screen kept awake' "$work/ecran.err" || true)
    [ -n "$awake" ] && return 0
    kill -0 $ecran_pid 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/ecran.err" >&2
  fail "ecran did not start ($*)"
  exit 1
}
# Starts a fresh swayidle that touches FILE after 2 idle seconds.
watch_idle() {
  rm -f "$1"
  (cd "$work" && exec "${as_user[@]}" "${session[@]}" swayidle -w timeout 2 "touch $1") &
  pids+=($!)
  idle_pid=$!
}
# idle_within SECONDS FILE: the idle command ran within that time.
idle_within() {
  for _ in $(seq 1 $(($1 * 10))); do
    [ -e "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# --- native Wayland ------------------------------------------------------------
start_ecran QT_QPA_PLATFORM=wayland
echo "wayland: $awake"
check "the start-up line names the Wayland inhibitor" grep -q 'zwp_idle_inhibit_manager_v1)$' <<<"$awake"
watch_idle "$work/home/idle-wayland"
sleep 5
check "no idle in 5 s while the display runs" [ ! -e "$work/home/idle-wayland" ]
check "the display still runs" kill -0 $ecran_pid
kill -TERM $ecran_pid
wait $ecran_pid && status=0 || status=$?
check "SIGTERM ends the display with status 0" [ "$status" -eq 0 ]
check "the compositor goes idle once the display has stopped" idle_within 8 "$work/home/idle-wayland"
kill $idle_pid

# --- Xwayland: the X screen saver is Xwayland's own -------------------------------
start_ecran QT_QPA_PLATFORM=xcb DISPLAY="$(cat "$work/home/xdisplay")"
echo "xwayland: $awake"
check "under Xwayland the start-up line says no, and why" \
  grep -q '^ecran: screen kept awake: no (.*Xwayland, which cannot keep the Wayland compositor awake' <<<"$awake"
watch_idle "$work/home/idle-xwayland"
check "and the compositor does go idle" idle_within 8 "$work/home/idle-xwayland"

echo "wayland e2e: $failures failed"
[ "$failures" -eq 0 ]
