# Shared by the whole-program benchmarks: starts the display given as $1 on
# a private 1920x1080 X server with a private configuration directory, and
# sets work (the directory), xpid, epid (the display's process) and port.
# Everything is stopped and removed when the script exits.
start_display() {
  work=$(mktemp -d)
  trap 'kill $epid $xpid 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
  exec 5< <(Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp 2>/dev/null)
  read -r n <&5
  xpid=$(pgrep -n Xvfb)
  export DISPLAY=":$n" XDG_CONFIG_HOME="$work"
  "$1" 2>"$work/err" &
  epid=$!
  sleep 3
  port=$(sed -n 's/.*UDP port \([0-9]*\).*/\1/p' "$work/err")
}
