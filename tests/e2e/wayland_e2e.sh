#!/usr/bin/env bash
# In a real Wayland compositor (sway, headless) the display keeps it from
# going idle while it runs, and only then: `swayidle -w timeout 2` must not
# fire while the display is up, and must fire once it has stopped. Under
# Xwayland the start-up line must say that nothing keeps the compositor
# awake, and indeed the compositor goes idle. As root, sway (which refuses
# root) and the display run as nobody, from a private copy of the program.
#   wayland_e2e.sh path/to/ecran
source "$(dirname "$0")/lib.sh"
command -v sway >/dev/null && command -v swayidle >/dev/null || skip "apt-get install sway swayidle"
compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null || skip "apt-get install qt6-wayland"

mkdir -m 700 "$WORK/run" "$WORK/home"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  chmod 755 "$WORK"
  chown nobody:nogroup "$WORK/run" "$WORK/home"
fi
cp "$ECRAN" "$WORK/ecran"
ECRAN=./ecran
printf 'output HEADLESS-1 mode 1280x720\nxwayland enable\nexec echo "$DISPLAY" >%s/home/x\n' "$WORK" >"$WORK/sway.conf"
cd "$WORK"
# "${session[@]}" COMMAND... runs it in the compositor's session, without the
# desktop's bus; started with & and exec, $! is the command itself. Qt's
# Wayland plugins, unloaded before a sanitized build's leak check, leave
# blocks it cannot tell from the program's own: that check is for the
# offscreen and X11 tests.
session=("${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run"
         XDG_CONFIG_HOME="$WORK/home/config" ${ASAN_OPTIONS:+"ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0"})

(exec "${session[@]}" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c sway.conf >sway.log 2>&1) &
within 10 test -s "$WORK/home/x" || { tail -5 "$WORK/sway.log"; skip "the headless sway did not start"; }
session+=(WAYLAND_DISPLAY="$(basename "$(ls "$WORK"/run/wayland-[0-9] | head -1)")")

# start ENV...: the display, up to its line on what keeps the screen awake,
# and a fresh swayidle that touches home/idle once the session is idle.
start() {
  start_ecran "${session[@]}" "$@"
  within 10 grep -q 'screen kept awake' ecran.err || { cat ecran.err; exit 1; }
  awake=$(grep 'screen kept awake' ecran.err) && echo "$awake"
  [ -z "${idler:-}" ] || kill $idler
  rm -f home/idle
  (exec "${session[@]}" swayidle -w timeout 2 "touch $WORK/home/idle" 2>/dev/null) &
  idler=$!
}

start QT_QPA_PLATFORM=wayland
check "the start-up line names the Wayland inhibitor" grep -q 'zwp_idle_inhibit_manager_v1)$' <<<"$awake"
sleep 5
check "no idle in 5 s while the display runs" test ! -e home/idle
check "SIGTERM ends the display with status 0" ends_cleanly TERM
check "the compositor goes idle once the display has stopped" within 8 test -e home/idle

start QT_QPA_PLATFORM=xcb DISPLAY="$(cat "$WORK/home/x")"
check "under Xwayland the start-up line says no, and why" \
  grep -q 'awake: no (.*Xwayland, which cannot keep the Wayland compositor awake' <<<"$awake"
check "and the compositor does go idle" within 8 test -e home/idle
finish
