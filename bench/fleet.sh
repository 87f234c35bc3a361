#!/usr/bin/env bash
# A fleet on one machine: a local mosquitto and N displays on Qt's offscreen
# platform, each with its own configuration folder and name, all in group
# "fleet". Publishes MESSAGES (default 50) texts to ecran/all/text, GAP
# seconds apart (default 0.5), and prints how long each took until every
# screen's retained state showed it (p50, p99, max), the broker's and the
# displays' CPU over that time and each display's resident size.
#   bench/fleet.sh N [path/to/ecran]
# Environment: MESSAGES, GAP, FLEET_RSS_ALL=1 (print every display's RSS),
# TMPDIR (where the displays' folders go).
set -euo pipefail
n=${1:?usage: $0 N [path/to/ecran]}
ecran=$(realpath "${2:-build/ecran}")
messages=${MESSAGES:-50}
gap=${GAP:-0.5}
prefix=ecran
source "$(dirname "$0")/../tests/e2e/mqtt_lib.sh"

work=$(mktemp -d)
pids=()
cleanup() {
  [ -n "${watcher:-}" ] && kill "$watcher" 2>/dev/null
  exec 7>&- 2>/dev/null || true
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
  sleep 1
  mqtt_stop
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mqtt_start "$work"
port=$MQTT_PORT
broker=$MQTT_PID

# N displays, started ten at a time.
for ((i = 1; i <= n; i++)); do
  mkdir -p "$work/s$i/ecran"
  printf '[ecran]\r\nport=0\r\n[mqtt]\r\nbroker=mqtt://127.0.0.1:%s\r\nname=s%s\r\ngroups=fleet\r\nprefix=%s\r\n' \
    "$port" "$i" "$prefix" >"$work/s$i/ecran/QUOLVEtavrin.ini"
  XDG_CONFIG_HOME="$work/s$i" QT_QPA_PLATFORM=offscreen "$ecran" 2>"$work/s$i/err" &
  pids+=($!)
  ((i % 10 == 0)) && sleep 0.3
done

# Every screen online (its retained status) before the first message.
deadline=$((SECONDS + 60 + n / 2))
online=0
while ((SECONDS < deadline)); do
  online=$(timeout 5 mosquitto_sub -p "$port" -t "$prefix/+/status" -v --retained-only -W 2 2>/dev/null |
    grep -c ' online$' || true)
  ((online >= n)) && break
  sleep 1
done
echo "fleet of $n displays on broker port $port: $online online"
if ((online < n)); then
  echo "not every display came online; their first error lines:" >&2
  for ((i = 1; i <= n && i <= 5; i++)); do head -2 "$work/s$i/err" >&2; done
  exit 1
fi
alive_before=0
for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive_before=$((alive_before + 1)); done

mosquitto_sub -p "$port" -t "$prefix/+/state" -v -F '%U %t %p' >"$work/states" 2>/dev/null &
watcher=$!
sleep 1

ticks() { awk '{ s += $14 + $15 } END { print s }' "$@" 2>/dev/null; }
hz=$(getconf CLK_TCK)
display_stats=()
for p in "${pids[@]}"; do display_stats+=("/proc/$p/stat"); done
b0=$(ticks "/proc/$broker/stat"); d0=$(ticks "${display_stats[@]}"); t0=$EPOCHREALTIME

# One publisher for all the messages, fed line by line: the time taken is
# the broker's and the displays', not a program's start.
exec 7> >(mosquitto_pub -p "$port" -q 1 -t "$prefix/all/text" -l 2>/dev/null)
for ((k = 1; k <= messages; k++)); do
  echo "$k $EPOCHREALTIME" >>"$work/sent"
  echo "fleet $k" >&7
  sleep "$gap"
done
# Until the last one shows on every screen (the final state is always
# published), 30 s at most; states that come later are not counted.
for ((w = 0; w < 300; w++)); do
  (($(grep -c "\"fleet $messages\"" "$work/states" || true) >= n)) && break
  sleep 0.1
done
kill "$watcher" 2>/dev/null
watcher=
b1=$(ticks "/proc/$broker/stat"); d1=$(ticks "${display_stats[@]}"); t1=$EPOCHREALTIME
exec 7>&-

alive=0
rss=()
for p in "${pids[@]}"; do
  if kill -0 "$p" 2>/dev/null; then
    alive=$((alive + 1))
    rss+=("$(awk '/^VmRSS:/ { print $2 }' "/proc/$p/status")")
  fi
done

# Per message: the time from its publish until the last screen's state
# showed it. A state paced past it (a later message shown first, as the
# display publishes at most 10 states a second) shows it too: that screen
# had it. Messages some screen never reached are counted apart.
awk -v n="$n" -v m="$messages" -v each="$work/each" '
  FILENAME == ARGV[1] { sent[$1] = $2; next }
  {
    if (!match($0, /"text": ?"fleet [0-9]+"/)) next
    j = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", j); j += 0
    for (k = done[$2] + 1; k <= j; k++) {
      count[k]++
      if (k in sent) printf "%.1f\n", 1000 * ($1 - sent[k]) > each
      if ($1 > last[k]) last[k] = $1
      if (k < j) skipped++
    }
    if (j > done[$2]) done[$2] = j
  }
  END {
    for (k = 1; k <= m; k++) {
      if (count[k] == n) printf "%.1f\n", 1000 * (last[k] - sent[k])
      else printf "message %d reached %d of %d screens\n", k, count[k], n > "/dev/stderr"
    }
    if (skipped) printf "%d states were paced past (a later message shown in their place)\n", skipped > "/dev/stderr"
  }' "$work/sent" "$work/states" | sort -n | awk -v n="$n" -v m="$messages" '
  { v[NR] = $1 }
  END {
    printf "%d messages to ecran/all/text, %d reached all %d screens", m, NR, n
    if (NR > 0) {
      i50 = int(0.5 * NR) + 1; if (i50 > NR) i50 = NR
      i99 = int(0.99 * NR) + 1; if (i99 > NR) i99 = NR
      printf "; publish -> every screen'"'"'s state shows it: p50 %.0f ms, p99 %.0f ms, max %.0f ms", v[i50], v[i99], v[NR]
    }
    printf "\n"
  }'

sort -n "$work/each" | awk '
  { v[NR] = $1 }
  END {
    if (NR == 0) exit
    i50 = int(0.5 * NR) + 1; if (i50 > NR) i50 = NR
    i99 = int(0.99 * NR) + 1; if (i99 > NR) i99 = NR
    printf "each screen apart (%d message-screen pairs): p50 %.0f ms, p99 %.0f ms, max %.0f ms\n", NR, v[i50], v[i99], v[NR]
  }'
awk -v b="$((b1 - b0))" -v d="$((d1 - d0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v n="$n" 'BEGIN {
  wall = t1 - t0
  printf "over %.0f s: broker %.1f%% of one core; the %d displays %.1f%% together (%.2f%% each)\n", wall, 100 * b / hz / wall, n, 100 * d / hz / wall, 100 * d / hz / wall / n
}'
printf '%s\n' "${rss[@]}" | sort -n | awk -v alive="$alive" -v n="$n" -v before="$alive_before" '
  { v[NR] = $1; s += $1 }
  END {
    printf "displays running: %d of %d (%d before the messages); RSS per display: min %.1f MB, median %.1f MB, max %.1f MB; all together %.0f MB\n",
      alive, n, before, v[1] / 1024, v[int((NR + 1) / 2)] / 1024, v[NR] / 1024, s / 1024
  }'
if [ "${FLEET_RSS_ALL:-0}" = 1 ]; then
  i=0
  for p in "${pids[@]}"; do
    i=$((i + 1))
    [ -r "/proc/$p/status" ] && echo "s$i $(awk '/^VmRSS:/ { print $2, $3 }' "/proc/$p/status")"
  done
fi
