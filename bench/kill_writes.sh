#!/usr/bin/env bash
# Kill test of the INI file: N times, starts the display on Qt's offscreen
# platform while a flood of messages of varied length (line breaks, quotes,
# blanks at the ends, up to 30,000 characters) reaches its port, and kills
# it with SIGKILL at a random moment between 0.2 and 1.5 s after the start
# (during start-up, between datagrams, in the middle of a write). After each
# kill the file must be whole:
#   - it reads: ecran-config finds the fixed [ecran] port;
#   - every line but [historique] infos (the port, other sections and keys,
#     comments, blank lines) is byte for byte as it was;
#   - [historique] infos decodes to one of the messages sent, exactly.
# It also counts the temporary files (.QUOLVEtavrin.ini.<pid>.<n>.tmp) that
# kills leave beside the file, and how many are left after a last clean
# start and write. Prints "N kills, N whole"; exit status 0 when every kill
# left the file whole.
#
#   bench/kill_writes.sh N [ECRAN [ECRAN-CONFIG]]
#
# Defaults: build-test/ecran and build-test/tools/ecran-config/ecran-config.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
n=${1:-}
case "$n" in
  ''|*[!0-9]*) echo "usage: bench/kill_writes.sh N [ECRAN [ECRAN-CONFIG]]" >&2; exit 2 ;;
esac
ecran=${2:-$root/build-test/ecran}
config=${3:-$root/build-test/tools/ecran-config/ecran-config}
messages="$root/bench/kill_messages.pl"
for program in "$ecran" "$config"; do
  [ -x "$program" ] || { echo "kill_writes: $program is not built" >&2; exit 2; }
done

work=$(mktemp -d)
flood=""
cleanup() {
  [ -n "$flood" ] && kill "$flood" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work" QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
ini="$work/ecran/QUOLVEtavrin.ini"

# A port nobody uses now, fixed in the file.
port=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(Proto => "udp", LocalAddr => "127.0.0.1:0")->sockport')
initial="avant le test"
mkdir -p "$work/ecran"
printf '; r\xe9glages de l'"'"'affichage\r\n[ecran]\r\nport=%s\r\n; commentaire = garder\r\n\r\n[historique]\r\ninfos=%s\r\n\r\n[autre]\r\ninfos=ne pas toucher\r\nInfos = "  cit\xe9  "\r\n# fin' \
  "$port" "$initial" >"$ini"
cp "$ini" "$work/reference.ini"

temporaries() { find "$work/ecran" -maxdepth 1 -name '.QUOLVEtavrin.ini.*.tmp' | wc -l; }

perl "$messages" flood "$port" &
flood=$!

whole=0
changed=0  # kills after which the file held a message it did not hold before
most_left=0
for ((i = 1; i <= n; i++)); do
  delay=$(printf '%d.%03d' $((ms = 200 + RANDOM % 1300, ms / 1000)) $((ms % 1000)))
  "$ecran" 2>"$work/err" &
  display=$!
  sleep "$delay"
  kill -KILL "$display" 2>/dev/null || true
  status=0
  { wait "$display"; } 2>/dev/null || status=$?
  if [ "$status" -ne 137 ]; then
    # It ended by itself: that is a failure of its own (a port it could not use...).
    echo "kill $i: the display ended with status $status before the kill:" >&2
    tail -n 3 "$work/err" >&2
  fi
  stored=$(grep -a -c '<[0-9]*>' "$ini" || true)
  sum=$(cksum <"$ini")
  [ "$stored" -gt 0 ] && [ "$sum" != "${previous_sum:-}" ] && changed=$((changed + 1))
  previous_sum=$sum
  left=$(temporaries)
  [ "$left" -gt "$most_left" ] && most_left=$left
  reason=$(perl "$messages" check "$ini" "$work/reference.ini" "$initial") || true
  if [ -z "$reason" ] && [ "$("$config" get ecran port 2>&1)" != "$port" ]; then
    reason="ecran-config does not read the port $port"
  fi
  if [ -z "$reason" ]; then
    whole=$((whole + 1))
  else
    echo "kill $i after ${delay}s: $reason" >&2
    cp "$ini" "$root/kill-$i.ini" 2>/dev/null && echo "  file kept as kill-$i.ini" >&2
  fi
done

kill "$flood" 2>/dev/null || true
wait "$flood" 2>/dev/null || true
flood=""

# A last clean start and write: stale temporary files of killed writers are
# to be gone after it.
"$ecran" 2>"$work/err" &
display=$!
sleep 1
printf 'fin du test' >"/dev/udp/127.0.0.1/$port"
sleep 0.5
kill -TERM "$display"
wait "$display" || true
final_value=$("$config" get historique infos 2>&1 || true)
[ "$final_value" = "fin du test" ] || echo "last write: infos reads '$final_value', not 'fin du test'" >&2

echo "$changed kills came after a new message was stored"
echo "temporary files: at most $most_left beside the file after a kill, $(temporaries) after the last start and write"
echo "$n kills, $whole whole"
[ "$whole" -eq "$n" ]
