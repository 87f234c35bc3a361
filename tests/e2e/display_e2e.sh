#!/usr/bin/env bash
# The real display under Xvfb: first start, datagrams over loopback, the INI
# file's bytes, the screen, the ticker's speed, a restart's replay, and exit on
# SIGTERM and SIGINT.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

black='0 0 0'
grey='224 224 224'
band="$((SCREEN_W - 8))x96+4+4"       # inside the ticker band and its border

start_x
start_ecran
check "first start seeds [ecran] port=0" [ "$(od -An -c "$INI" | tr -s ' ')" = "$(printf '[ecran]\r\nport=0\r\n' | od -An -c | tr -s ' ')" ]
check "start-up line names the file" grep -q "$INI" "$WORK/ecran.err"

shot "$WORK/start.png"
face=$(pixel "$WORK/start.png" $((SCREEN_W / 2)) 200)
check "ticker band is black" [ "$(pixel "$WORK/start.png" $((SCREEN_W - 20)) 20)" = "0,0,0" ]
check "ticker text is light grey" [ "$(count "$WORK/start.png" "$band" "$grey" 8)" -gt 500 ]
check "bottom line is black" [ "$(pixel "$WORK/start.png" $((SCREEN_W / 2)) $((SCREEN_H - 1)))" = "0,0,0" ]
below="${SCREEN_W}x$((SCREEN_H - 110))+0+110"  # message area and bottom line
check "no dark grey background shows below the ticker band" [ "$(count "$WORK/start.png" "$below" '64 64 64' 2)" -eq 0 ]
check "the message area is one colour when nothing is stored" [ "$(count "$WORK/start.png" "$AREA" "$black" 40)" -eq 0 ]

# The ticker moves left, 40 pixels a second at most: its right edge two shots
# apart, or its left edge while its text still enters from past the band's end
# (a loaded machine runs fewer ticks; an edge that jumped right is the ticker
# entering again from the right).
t0=$(date +%s.%N); shot "$WORK/tick0.png"
sleep 2
t1=$(date +%s.%N); shot "$WORK/tick1.png"
read -r l0 e0 l1 e1 <<< "$(edges "$WORK/tick0.png" "$band" "$grey") $(edges "$WORK/tick1.png" "$band" "$grey")"
if [ "$e0" -eq $((SCREEN_W - 9)) ] && [ "$e1" -eq "$e0" ]; then e0=$l0; e1=$l1; fi
speed=$(awk -v a="$e0" -v b="$e1" -v s="$t0" -v t="$t1" 'BEGIN { printf "%d", (a - b) / (t - s) }')
echo "ticker: edge $e0 -> $e1, $speed pixels a second"
ticker_moved_left() { [ "$speed" -le 50 ] && { [ "$speed" -ge 1 ] || [ "$e1" -gt "$e0" ]; }; }
check "ticker scrolls left, never faster than 40 pixels a second" ticker_moved_left

send 'D\xe9marrage \xe0 14 h'
check "a plain datagram is stored byte for byte" grep -q $'infos=D\xe9marrage \xe0 14 h\r$' "$INI"
check "the main message shows in black" shows plain "$black"

send '\xff2255'
check "a colour datagram turns the message red" shows red '255 0 0'
check "the colour command is stored with its marker" grep -q $'infos=\xff2255\r$' "$INI"

# The sender converts UTF-8 and reads nothing but its arguments here.
SENDER=${3:-}
if [ -n "$SENDER" ]; then
  "$SENDER" --port "$PORT" "Bienvenue à tous"
  sleep 0.4
  check "ecran-send delivers a UTF-8 message in Windows-1252" grep -q $'infos=Bienvenue \xe0 tous\r$' "$INI"
  check "the sent message shows in red (the colour stays)" shows sent '255 0 0'
  "$SENDER" --port "$PORT" --color black
  sleep 0.4
fi

send '\xff1Ticker chang\xe9'
check "a ticker datagram is stored" grep -q $'infos=\xff1Ticker chang\xe9\r$' "$INI"

check "SIGTERM ends the display with status 0" ends_cleanly TERM

# Restart: the last message was a ticker command, so the main message reads
# its design text in black and the ticker shows the command's text.
start_ecran
check "after a restart the main message is back in black" shows replay "$black"
check "after a restart the ticker still shows" [ "$(count "$WORK/replay.png" "$band" "$grey" 8)" -gt 500 ]
check "SIGINT ends the display with status 0" ends_cleanly INT

# A port the display cannot use stops start-up with one line and status 1.
printf '[ecran]\r\nport=70000\r\n' >"$INI"
status_of "$ECRAN" 2>"$WORK/bad.err"
check "a port outside 0-65535 ends start-up with status 1" [ "$STATUS" -eq 1 ]
check "the start-up error names the file" grep -q "$INI" "$WORK/bad.err"

# So does a settings file that is there but cannot be read: no start on a
# port the system picks.
rm -f "$INI"
mkdir "$INI"
status_of timeout 20 "$ECRAN" 2>"$WORK/unreadable.err"
rmdir "$INI"
check "a folder in place of the settings file ends start-up with status 1" [ "$STATUS" -eq 1 ]
check "one line names the file" [ "$(grep -c "$INI" "$WORK/unreadable.err")" -eq 1 ]

cp "$WORK/plain.png" "${2:-$WORK}/e2e-display.png" 2>/dev/null || true
finish
