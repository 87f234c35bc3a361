#!/usr/bin/env bash
# The display among other users and programs: no key closes it, a hangup
# unloads it, a reader of stderr that went away does not kill it, a stream
# of NUL messages is reported once, and an environment without a display
# server or a home is handled.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
ECRAN=$(realpath "$ECRAN")  # some rows run it from another folder

alive() { kill -0 "$ECRAN_PID" 2>/dev/null; }
ended() { ! alive; }

# --- no key closes the window ----------------------------------------------------
if ! command -v xdotool >/dev/null 2>&1; then
  fail "xdotool is not installed (scripts/install-deps.sh installs it): keys cannot be tested"
else
  start_x
  start_ecran
  # Each row is the keys typed, in order, into the focused window.
  for keys in "space" "Return" "KP_Enter" "Escape" "Tab space" "Tab Tab Return"; do
    # shellcheck disable=SC2086
    xdotool key --delay 100 $keys
    sleep 0.5
    if alive; then
      pass "keys '$keys' leave the display running"
    else
      fail "keys '$keys' closed the display"
      start_ecran
    fi
  done
  # The close button, 25 pixels square in the message area's top-left corner
  # (below the 105-pixel ticker band and the area's 2-pixel border), still
  # closes it with a click.
  xdotool mousemove 14 119 click 1
  check "a click on X still closes the display" within 4 ended
  check "with status 0" ends_cleanly TERM

  # --- signals -------------------------------------------------------------------
  start_ecran
  check "SIGHUP unloads the window: status 0" ends_cleanly HUP

  # stderr on a pipe whose reader reads up to the start-up line and goes away.
  mkfifo "$WORK/err.fifo"
  "$ECRAN" 2>"$WORK/err.fifo" &
  ECRAN_PID=$!
  timeout 20 grep -m 1 'listening on UDP port' <"$WORK/err.fifo" >"$WORK/startline" || true
  PORT=$(sed -n 's/.*listening on UDP port \([0-9]*\).*/\1/p' "$WORK/startline")
  sleep 0.5
  if [ -n "$PORT" ] && alive; then
    send 'avant\x00apr\xe8s'
    check "a NUL message with stderr on a closed pipe leaves the display running" alive
    check "the message before its NUL is still stored" grep -q $'infos=avant\r$' "$INI"
    check "it still ends with status 0" ends_cleanly TERM
  else
    fail "the display died once the reader of its stderr went away"
    stop_ecran TERM
  fi

  # --- a stream of NUL messages: one line, then at most one summary -------------
  start_ecran
  for i in $(seq 1 20); do
    printf "nul $i\\x00" >"/dev/udp/127.0.0.1/$PORT"
    sleep 0.1
  done
  sleep 0.4
  stop_ecran TERM
  said=$(grep -c 'holds a NUL character' "$WORK/ecran.err" || true)
  first=$(grep 'holds a NUL character' "$WORK/ecran.err" | grep -vc 'more times' || true)
  echo "NUL reports on stderr for 20 datagrams: $said line(s)"
  check "a stream of NUL messages is said once" [ "$first" -eq 1 ]
  check "and summarised at most once" [ "$said" -le 2 ]
  check "the summary counts the repeats" grep -q 'holds a NUL character; only the text before it was stored ([0-9]* more times' "$WORK/ecran.err"
fi

# --- the environment ---------------------------------------------------------------
# Without HOME and XDG_CONFIG_HOME the file is in the home of the password
# database, not below the working directory (an argument makes it name the
# file and stop before touching anything).
home=$(getent passwd "$(id -u)" | cut -d: -f6)
mkdir -p "$WORK/cwd"
out=$(cd "$WORK/cwd" && env -u HOME -u XDG_CONFIG_HOME "$ECRAN" --bogus 2>&1) && status=0 || status=$?
check "without HOME the settings file is in the password database's home" \
  grep -qF " in $home/.config/ecran/QUOLVEtavrin.ini" <<<"$out"

# A user with no home at all: start-up stops with one line and status 1, and
# nothing is written below the working directory.
as_stranger=()
if [ "$(id -u)" -eq 0 ]; then
  as_stranger=(setpriv --reuid=54321 --regid=54321 --clear-groups)
elif sudo -n true 2>/dev/null; then
  as_stranger=(sudo -n setpriv --reuid=54321 --regid=54321 --clear-groups)
fi
if [ ${#as_stranger[@]} -gt 0 ] && ! getent passwd 54321 >/dev/null; then
  # The build folder may be private (a clone in a 0700 home): the stranger
  # runs a copy of the program, and of the leak suppressions a sanitized
  # build reads, from the test's own folder.
  stranger="$WORK/stranger"
  mkdir "$stranger"
  cp "$ECRAN" "$stranger/ecran"
  lsan=${LSAN_OPTIONS:-}
  if [[ $lsan =~ suppressions=([^:]*) ]]; then
    cp "${BASH_REMATCH[1]}" "$stranger/lsan.supp"
    lsan=${lsan/"${BASH_REMATCH[0]}"/suppressions=$stranger/lsan.supp}
  fi
  chmod -R a+rX "$stranger"
  chmod 711 "$WORK"
  chmod 1777 "$WORK/cwd"
  status_of env -C "$WORK/cwd" timeout 20 "${as_stranger[@]}" env -u HOME -u XDG_CONFIG_HOME \
    QT_QPA_PLATFORM=offscreen LSAN_OPTIONS="$lsan" "$stranger/ecran" 2>"$WORK/nohome.err"
  check "a user without a home stops start-up with status 1" [ "$STATUS" -eq 1 ]
  check "the line names the problem" grep -q 'neither XDG_CONFIG_HOME nor HOME is set.*no home directory in the password database' "$WORK/nohome.err"
  check "nothing is written below the working directory" [ ! -e "$WORK/cwd/.config" ]
else
  echo "note: not root and no sudo: the user without a home is not tested"
fi

# An empty DISPLAY is no display server: offscreen, with the usual line.
start_ecran env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=
check "an empty DISPLAY runs offscreen and says so" grep -q 'no display server (DISPLAY and WAYLAND_DISPLAY are unset or empty)' "$WORK/ecran.err"
check "and ends with status 0" ends_cleanly TERM
finish
