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
#
#   bench/fleet.sh burst [path/to/ecran]
# One display and BURST (default 50,000) QoS 1 texts published at once, on
# mosquitto's defaults and then on the broker settings of
# docs/fleet-broker.md: the commands the broker and the screen dropped,
# whether the screen ended on the newest, and then publish -> state p50/p99
# over LATENCY (default 100) texts 0.15 s apart.
#
#   bench/fleet.sh flood LABEL path/to/ecran [LABEL path/to/ecran...]
# Each display in turn under FLOOD (default 3,000) texts of 65,000 bytes at
# QoS 0 while a UDP ticker is sent to it every 0.2 s: UDP -> state p50/p99
# (the first state that holds each ticker or a later one: an upper bound on
# UDP -> screen, the pacer adding up to 100 ms) and its peak RSS.
set -euo pipefail
source "$(dirname "$0")/../tests/e2e/mqtt_lib.sh"

running=()  # what a burst or flood run started, ended at exit

# p50, p99 and max of the numbers on stdin.
percentiles() {
  sort -n | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "no samples"; exit }
    i50 = int(0.5 * NR) + 1; if (i50 > NR) i50 = NR
    i99 = int(0.99 * NR) + 1; if (i99 > NR) i99 = NR
    printf "p50 %.1f ms, p99 %.1f ms, max %.1f ms (%d samples)\n", v[i50], v[i99], v[NR], NR }'
}

# one_display DIR PROGRAM NAME [SETTINGS]: a broker with these settings and
# one display on it, online; sets display, udp_port and states (a watcher
# writing each state with its arrival time to DIR/states).
one_display() {
  local dir=$1 program=$2 name=$3
  mkdir -p "$dir/home/ecran"
  mqtt_start "$dir" "sys_interval 1
${4:-}"
  printf '[ecran]\r\nport=0\r\n[mqtt]\r\nbroker=mqtt://127.0.0.1:%s\r\nname=%s\r\n' "$MQTT_PORT" "$name" \
    >"$dir/home/ecran/QUOLVEtavrin.ini"
  XDG_CONFIG_HOME="$dir/home" QT_QPA_PLATFORM=offscreen "$program" 2>"$dir/err" &
  display=$!
  running+=("$display")
  for _ in $(seq 100); do
    udp_port=$(sed -n 's/.*listening on UDP port \([0-9]*\).*/\1/p' "$dir/err")
    [ -n "$udp_port" ] &&
      [ "$(timeout 3 mosquitto_sub -p "$MQTT_PORT" -t "ecran/$name/status" -C 1 -W 2 2>/dev/null)" = online ] && break
    sleep 0.2
  done
  mosquitto_sub -p "$MQTT_PORT" -q 1 -t "ecran/$name/state" -F '%U %p' >"$dir/states" 2>/dev/null &
  states=$!
  running+=("$states")
  sleep 0.5
}

# end_display FIELD: stops the watcher, reads the display's FIELD of
# /proc/PID/status (VmRSS, VmHWM) into memory (MB), stops it and the broker.
end_display() {
  kill "$states" 2>/dev/null || true
  memory=$(awk -v f="$1:" '$1 == f { printf "%.1f", $2 / 1024 }' "/proc/$display/status")
  kill "$display" 2>/dev/null || true
  wait "$display" 2>/dev/null || true
  mqtt_stop
}

seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { print b - a }'; }

# burst LABEL SETTINGS: one run on a broker with these settings.
burst() {
  local label=$1 settings=$2 dir="$work/$1" last dropped screen_dropped
  one_display "$dir" "$ecran" b1 "${settings//\/var\/lib\/mosquitto\//$dir/}"
  local t0=$EPOCHREALTIME
  seq -f "burst %.0f" "$burst_count" | mosquitto_pub -p "$MQTT_PORT" -q 1 -t ecran/b1/text -l
  local t1=$EPOCHREALTIME
  # Until the state has not changed for 5 s (120 s at most).
  local same=0 size=-1
  for _ in $(seq 240); do
    if [ "$(stat -c %s "$dir/states")" = "$size" ]; then same=$((same + 1)); else same=0; fi
    size=$(stat -c %s "$dir/states")
    ((same >= 10)) && break
    sleep 0.5
  done
  last=$(tail -1 "$dir/states" | sed -n 's/.*"text":"\(burst [0-9]*\)".*/\1/p')
  dropped=$(timeout 5 mosquitto_sub -p "$MQTT_PORT" -t '$SYS/broker/publish/messages/dropped' -C 1 -W 4 2>/dev/null ||
    echo "?")
  screen_dropped=$(grep -o 'dropped, [0-9]* commands in all' "$dir/err" | tail -1 | grep -o '[0-9]*' || true)
  # Latency: one publisher fed line by line, LATENCY texts 0.15 s apart.
  : >"$dir/sent"
  exec 8> >(mosquitto_pub -p "$MQTT_PORT" -q 1 -t ecran/b1/text -l 2>/dev/null)
  for ((k = 1; k <= latency_count; k++)); do
    echo "lat $k $EPOCHREALTIME" >>"$dir/sent"
    echo "lat $k" >&8
    sleep 0.15
  done
  sleep 1
  exec 8>&-
  end_display VmRSS
  printf '%-9s %d texts published in %.1f s; dropped by the broker %s, by the screen %s; ended on %s (newest: %s); RSS %s MB\n' \
    "$label:" "$burst_count" "$(seconds_between "$t0" "$t1")" "$dropped" "${screen_dropped:-0}" "${last:-nothing}" \
    "$([ "$last" = "burst $burst_count" ] && echo yes || echo NO)" "$memory"
  printf '%-9s publish -> state: %s' "" "$(awk 'FILENAME == ARGV[1] { sent[$1 " " $2] = $3; next }
    match($0, /"text":"lat [0-9]+"/) { k = substr($0, RSTART + 8, RLENGTH - 9); if (k in sent && !(k in seen)) {
      seen[k] = 1; printf "%.1f\n", 1000 * ($1 - sent[k]) } }' "$dir/sent" "$dir/states" | percentiles)"
  echo
}

# flood LABEL ECRAN: FLOOD (default 3,000) texts of 65,000 bytes at QoS 0
# while a UDP ticker goes to the same display every 0.2 s.
flood() {
  local label=$1 program=$2 dir="$work/$1" udp
  one_display "$dir" "$program" f1
  local rss0
  rss0=$(awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$display/status")
  : >"$dir/sent"
  (
    for ((k = 1; ; k++)); do
      echo "udp $k $EPOCHREALTIME" >>"$dir/sent"
      printf '\xff1udp %d' "$k" >"/dev/udp/127.0.0.1/$udp_port"
      sleep 0.2
    done
  ) &
  udp=$!
  running+=("$udp")
  local t0=$EPOCHREALTIME
  local text
  text=$(head -c 65000 /dev/zero | tr '\0' a)
  for ((k = 1; k <= flood_count; k++)); do printf '%d%s\n' "$k" "${text:${#k}}"; done |
    mosquitto_pub -p "$MQTT_PORT" -q 0 -t ecran/f1/text -l
  local t1=$EPOCHREALTIME
  sleep 3
  kill "$udp" 2>/dev/null || true
  wait "$udp" 2>/dev/null || true
  # Until a state shows the last ticker sent (120 s at most).
  local lastTicker
  lastTicker=$(tail -1 "$dir/sent" | cut -d' ' -f1-2)
  for _ in $(seq 1200); do
    grep -q "\"ticker\":\"$lastTicker\"" "$dir/states" && break
    sleep 0.1
  done
  end_display VmHWM
  printf '%-8s %d texts of 65,000 bytes published in %.1f s; RSS %s MB before, peak %s MB; UDP -> state: %s' \
    "$label:" "$flood_count" "$(seconds_between "$t0" "$t1")" "$rss0" "$memory" \
    "$(awk 'FILENAME == ARGV[1] { sent[$1 " " $2] = $3; next }
    match($0, /"ticker":"udp [0-9]+"/) { j = substr($0, RSTART + 14, RLENGTH - 15) + 0
      # Tickers replaced before a state showed them were shown by then.
      for (k = done + 1; k <= j; k++) if (("udp " k) in sent) printf "%.1f\n", 1000 * ($1 - sent["udp " k])
      if (j > done) done = j }' "$dir/sent" "$dir/states" | percentiles)"
  # A state whose source is the ticker holds the time the display applied it.
  printf '\n%-8s UDP -> applied (states published for the ticker itself): %s\n' "" "$(awk '
    FILENAME == ARGV[1] { sent[$1 " " $2] = $3 % 86400; next }
    match($0, /"ticker":"udp [0-9]+"/) && /"source":"udp / { k = substr($0, RSTART + 10, RLENGTH - 11)
      match($0, /"updated":"[^"]*"/); t = substr($0, RSTART + 22, 12)
      split(t, h, ":"); if (k in sent) printf "%.1f\n", 1000 * (h[1] * 3600 + h[2] * 60 + h[3] - sent[k]) }' \
    "$dir/sent" "$dir/states" | percentiles)"
  printf '%-8s (UDP tickers sent: %d)\n' "" "$(wc -l <"$dir/sent")"
}

if [ "${1:-}" = flood ]; then
  flood_count=${FLOOD:-3000}
  work=$(mktemp -d)
  trap 'kill "${running[@]}" 2>/dev/null; mqtt_stop; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
  echo "load: $(uptime | sed 's/.*load average: //')"
  for ((i = 2; i + 1 <= $#; i += 2)); do
    flood "${!i}" "$(realpath "${@:i+1:1}")"
  done
  echo "load: $(uptime | sed 's/.*load average: //')"
  exit 0
fi

if [ "${1:-}" = burst ]; then
  ecran=$(realpath "${2:-build/ecran}")
  burst_count=${BURST:-50000}
  latency_count=${LATENCY:-100}
  work=$(mktemp -d)
  trap 'kill "${running[@]}" 2>/dev/null; mqtt_stop; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
  tuned=$(awk '/^\*\*Queues and sizes\*\*/ { on = 1 } on && /^```/ { if (inside) exit; inside = 1; next } inside' \
    "$(dirname "$0")/../docs/fleet-broker.md")
  echo "load: $(uptime | sed 's/.*load average: //')"
  burst defaults ""
  burst tuned "$tuned"
  exit 0
fi

n=${1:?usage: $0 N [path/to/ecran] | burst [path/to/ecran]}
ecran=$(realpath "${2:-build/ecran}")
messages=${MESSAGES:-50}
gap=${GAP:-0.5}
prefix=ecran

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
