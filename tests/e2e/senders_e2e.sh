#!/usr/bin/env bash
# Who may write to the screen, through the real binary: every [ecran] listen
# or allow value it cannot use stops the start with status 1 and one line,
# a list set with ecran-config lets its senders in and drops the others, and
# the drops are counted on stderr (the rest said at exit). Without the keys
# nothing changes: reception_test and display_e2e run without them.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
CONFIG=${4:-}
export QT_QPA_PLATFORM=offscreen  # nothing here is looked at on a screen

# key, value, what the one line must say besides the file.
while IFS='|' read -r key value said; do
  mkdir -p "$(dirname "$INI")"
  printf '[ecran]\r\nport=0\r\n%s=%s\r\n' "$key" "$value" >"$INI"
  before=$(od -An -c "$INI")
  status_of timeout 20 "$ECRAN" 2>"$WORK/bad.err"
  lines=$(grep -c '^ecran: ' "$WORK/bad.err" || true)
  check "$key=$value stops the start with status 1" [ "$STATUS" -eq 1 ]
  check "$key=$value is named in one line with its key and the file" \
    grep -qF "$said set in $INI ([ecran] $key)" "$WORK/bad.err"
  check "$key=$value: one line only" [ "$lines" -eq 1 ]
  check "$key=$value: the file is unchanged" [ "$(od -An -c "$INI")" = "$before" ]
done <<'ROWS'
allow|999.1.1.1|the entry "999.1.1.1"
allow|10.0.0.0/40|the entry "10.0.0.0/40"
allow|hall|the entry "hall"
allow|10.1|the entry "10.1"
allow|127.0.0.1, 1|the entry "1"
allow|fe80::1%eth0|the entry "fe80::1%eth0"
allow|,|the entry ","
listen|hall|the address "hall"
listen|127.1|the address "127.1"
listen|192.0.2.1|cannot listen on UDP port 0 at the address "192.0.2.1"
ROWS

# A list set with ecran-config, as an operator would.
rm -f "$INI"
if [ -n "$CONFIG" ]; then
  "$CONFIG" set ecran allow "127.0.0.2, 127.0.0.1/32" >/dev/null
else
  mkdir -p "$(dirname "$INI")"
  printf '[ecran]\r\nallow=127.0.0.2, 127.0.0.1/32\r\n' >"$INI"
fi
start_ecran
check "the start-up line names the allowed senders" \
  grep -q "listening on UDP port $PORT (all interfaces; allowed senders: 127.0.0.2, 127.0.0.1); settings" "$WORK/ecran.err"

send 'from 127.0.0.1'
check "an allowed sender is stored" grep -q $'^infos=from 127.0.0.1\r$' "$INI"
printf 'from 127.0.0.2' | socat -u - "UDP:127.0.0.1:$PORT,bind=127.0.0.2"
sleep 0.4
check "a sender bound to 127.0.0.2 is stored" grep -q $'^infos=from 127.0.0.2\r$' "$INI"
for _ in 1 2 3; do printf 'intruder' | socat -u - "UDP:127.0.0.1:$PORT,bind=127.0.0.3"; done
printf 'intruder' >"/dev/udp/::1/$PORT" 2>/dev/null || true
sleep 0.4
check "a refused sender is not stored" grep -q $'^infos=from 127.0.0.2\r$' "$INI"
check "the first drop is said at once" \
  grep -qx 'ecran: dropped 1 datagram from 127.0.0.3 (not in \[ecran\] allow)' "$WORK/ecran.err"
check "SIGTERM still ends the display with status 0" ends_cleanly TERM
check "the drops not yet said are counted at exit" \
  grep -qx 'ecran: dropped 2 datagrams from 127.0.0.3 (not in \[ecran\] allow)' "$WORK/ecran.err"

finish
