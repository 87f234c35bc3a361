#!/usr/bin/env bash
# Shared steps of the end-to-end tests: a private X server, a private
# configuration directory, the display started and stopped, datagrams sent,
# screenshots read pixel by pixel.
set -euo pipefail

ECRAN=${1:?usage: $0 path/to/ecran [build dir]}
WORK=$(mktemp -d /tmp/ecran-e2e.XXXXXX)
export XDG_CONFIG_HOME="$WORK/config"
INI="$XDG_CONFIG_HOME/ecran/QUOLVEtavrin.ini"
SCREEN_W=1280
SCREEN_H=720
ECRAN_PID=""
PORT=""
failures=0
passes=0

# Every process the test started (the display, its X server, and any other
# it ran in the background) is stopped.
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "$failures" -eq 0 ]; then rm -rf "$WORK"; else echo "kept $WORK for inspection" >&2; fi
}
trap cleanup EXIT

skip() { echo "SKIP: $*"; exit 77; }  # skip WHY: the test cannot run here
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passes=$((passes + 1)); }
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# within SECONDS COMMAND...: true once the command is, tried every tenth of a second.
within() {
  local tenths=$(($1 * 10))
  shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  return 1
}
# status_of COMMAND... -> its exit status in STATUS, failure or not.
status_of() { set +e; "$@"; STATUS=$?; set -e; }
# timed COMMAND... -> the seconds it took in TOOK.
timed() {
  local t0
  t0=$(date +%s.%N)
  "$@"
  TOOK=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
}

# Starts a private X server on the first free display: a job of this
# script, which cleanup stops, and no other server.
start_x() {
  mkfifo "$WORK/xvfb.display"
  Xvfb -displayfd 5 -screen 0 ${SCREEN_W}x${SCREEN_H}x24 -nolisten tcp 5>"$WORK/xvfb.display" 2>"$WORK/xvfb.log" &
  read -r -t 20 display_number <"$WORK/xvfb.display" || {
    echo "Xvfb did not start" >&2
    cat "$WORK/xvfb.log" >&2
    exit 1
  }
  export DISPLAY=":$display_number"
  unset WAYLAND_DISPLAY QT_QPA_PLATFORM
}

# Starts ecran and waits for its start-up line (START_SECONDS, 10 unless
# set), then for its first paint; sets PORT. Arguments, if any, are a
# command that runs it (env VAR=...).
start_ecran() {
  : >"$WORK/ecran.err"
  "$@" "$ECRAN" 2>"$WORK/ecran.err" &
  ECRAN_PID=$!
  within "${START_SECONDS:-10}" started && [ -n "$PORT" ] && { sleep 1; return 0; }
  echo "ecran did not start:" >&2
  cat "$WORK/ecran.err" >&2
  exit 1
}
# True once the start-up line has named the port (in PORT) or the display has ended.
started() {
  PORT=$(sed -n 's/.*listening on UDP port \([0-9]*\).*/\1/p' "$WORK/ecran.err" | head -1)
  [ -n "$PORT" ] || ! kill -0 "$ECRAN_PID" 2>/dev/null
}

# stop_ecran SIGNAL -> exit status in STATUS (the display may have ended already).
stop_ecran() {
  kill "-$1" "$ECRAN_PID" 2>/dev/null || true
  status_of wait "$ECRAN_PID"
  ECRAN_PID=""
}
# ends_cleanly SIGNAL: stop_ecran, and true when the display ended with status 0.
ends_cleanly() { stop_ecran "$1" && [ "$STATUS" -eq 0 ]; }

# send BYTES (printf format) to the display, then give it a moment to paint.
send() {
  printf "$1" >"/dev/udp/127.0.0.1/$PORT"
  sleep 0.4
}

shot() { import -window root "$1"; }  # shot FILE

# pixel FILE X Y -> "R,G,B"
pixel() {
  convert "$1" -format "%[fx:int(255*p{$2,$3}.r)],%[fx:int(255*p{$2,$3}.g)],%[fx:int(255*p{$2,$3}.b)]" info:
}

# matching FILE GEOMETRY "R G B" TOLERANCE -> "x y" of each pixel of the
# region within TOLERANCE of that colour in every channel (8 bits each).
matching() {
  convert "$1" -crop "$2" +repage -depth 8 txt:- |
    sed -n 's/^\([0-9]*\),\([0-9]*\): *(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3 \4 \5/p' |
    awk -v c="$3" -v t="$4" 'BEGIN { split(c, k, " ") }
      { d = 0; for (i = 1; i <= 3; i++) { e = $(i + 2) - k[i]; if (e < 0) e = -e; if (e > d) d = e } if (d <= t) print $1, $2 }'
}
# count FILE GEOMETRY "R G B" [TOLERANCE] -> how many pixels of that colour
count() { matching "$1" "$2" "$3" "${4:-8}" | wc -l; }
# edges FILE GEOMETRY "R G B" [TOLERANCE] -> "LEFT RIGHT": x of the leftmost and rightmost pixel of that colour, or "-1 -1"
edges() { matching "$1" "$2" "$3" "${4:-24}" | awk 'BEGIN { l = -1; r = -1 } l < 0 || $1 < l { l = $1 } $1 > r { r = $1 } END { print l, r }'; }

# shows NAME "R G B": a screenshot, NAME.png, whose message area holds the
# message in that colour (over 2000 pixels of it).
AREA="$((SCREEN_W - 40))x400+20+150"  # the middle of the message area
shows() {
  shot "$WORK/$1.png"
  [ "$(count "$WORK/$1.png" "$AREA" "$2" 40)" -gt 2000 ]
}

finish() {
  echo "e2e: $passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}
