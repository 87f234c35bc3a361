#!/usr/bin/env bash
# The console under load, on one machine: a private mosquitto, 1,000
# simulated screens (retained status and state), the console, then:
# GET /api/v1/screens with wrk (p99, requests a second), one state change
# reaching 100 open event streams (p50/p99), the console's resident size,
# the page's first full render in Chromium, and, with two real displays on
# Qt's offscreen platform, POST /api/v1/messages until both new states are
# on the event stream. Prints figures; never passes or fails on time.
#   bench/console.sh [BUILD_DIR]      (default build/; needs wrk, node, chromium and
#                                      npm ci --prefix tests/console/web for the render)
# With SNAPSHOT_BYTES=N, each screen also has a retained picture of N bytes,
# and a second console is started over them.
# With BASELINE=PROGRAM, another ecran-console (an older build) watches the
# same screens, and GET /api/v1/screens is measured on both, turn about.
set -euo pipefail
build=$(realpath "${1:-build}")
here=$(cd "$(dirname "$0")" && pwd)
screens=${SCREENS:-1000}
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
work=$(mktemp -d)
pids=()
cleanup() {
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  # The queue limits of docs/fleet-broker.md: a console's connection takes
  # every screen's retained status, state and picture at once.
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 100000\nmax_queued_bytes 67108864\n%s\n' "$port" \
    "$([ "$(id -u)" -eq 0 ] && echo 'user root')" >"$work/mosquitto.conf"
  "$mosquitto" -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
  broker=$!
  sleep 0.3
  grep -q "listen socket on port $port" "$work/broker.log" && break
  kill "$broker" 2>/dev/null || true
  broker=""
done
[ -n "${broker:-}" ] || { echo "mosquitto did not start" >&2; exit 1; }
pids+=("$broker")

# serve PROGRAM NAME: a console with its own settings and data; sets token, url, console.
serve() {
  printf '[mqtt]\nbroker=mqtt://127.0.0.1:%s\n[http]\nlisten=127.0.0.1:0\n[console]\ndata=%s/%s\n' "$port" "$work" "$2" \
    >"$work/$2.ini"
  token=$("$1" --config "$work/$2.ini" token add bench 2>/dev/null)
  "$1" --config "$work/$2.ini" serve 2>"$work/$2.err" &
  console=$!
  pids+=("$console")
  for _ in $(seq 100); do grep -q 'listening on' "$work/$2.err" && break; sleep 0.05; done
  url=$(sed -n 's#.*listening on \(http://[^/]*\)/.*#\1#p' "$work/$2.err")
}
if [ -n "${BASELINE:-}" ]; then
  serve "$BASELINE" baseline
  baseline_url=$url baseline_token=$token baseline_pid=$console
fi
serve "$build/ecran-console" console
count() { curl -s "${2:-$url}/api/v1/health" | sed -n 's/.*"screens":\([0-9]*\).*/\1/p'; }
rss() { echo "console RSS $1: $(awk '/VmRSS/ {print $2, $3}' "/proc/$console/status")"; }

echo "== $screens simulated screens on mosquitto :$port, console at $url ($(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg))"
started=$(date +%s%N)
"$build/bench/console/console_screens" "$port" "$screens"
for _ in $(seq 600); do [ "$(count)" = "$screens" ] && break; sleep 0.05; done
echo "model holds $(count) screens, $(( ($(date +%s%N) - started) / 1000000 )) ms after the publisher started"
rss "with $screens screens"

list() {
  echo "== GET /api/v1/screens, $1 ($(curl -s -H "Authorization: Bearer $3" "$2/api/v1/screens" | wc -c) bytes; load $(cut -d' ' -f1-3 /proc/loadavg))"
  wrk -t2 -c16 -d10s --latency -H "Authorization: Bearer $3" "$2/api/v1/screens" | grep -E 'Requests/sec|^ +(50|99)%'
}
if [ -n "${BASELINE:-}" ]; then
  for _ in $(seq 100); do [ "$(count x "$baseline_url")" = "$screens" ] && break; sleep 0.05; done
  for round in 1 2; do
    list "baseline $BASELINE, round $round" "$baseline_url" "$baseline_token"
    list "this build, round $round" "$url" "$token"
  done
  kill "$baseline_pid"  # the figures below are this build's alone
else
  list "this build" "$url" "$token"
fi

# A console started over a fleet already on the broker gets every screen's
# retained status, state and (with SNAPSHOT_BYTES) picture at once.
if [ -n "${SNAPSHOT_BYTES:-}" ]; then
  first_url=$url first_token=$token first_console=$console
  pictures() { curl -s -H "Authorization: Bearer $token" "$url/api/v1/screens" | grep -o '"etag":"' | wc -l; }
  for program in ${BASELINE:-} "$build/ecran-console"; do
    started=$(date +%s%N)
    serve "$program" "late-$(basename "$(dirname "$program")")"
    for _ in $(seq 600); do [ "$(count)" = "$screens" ] && [ "$(pictures)" = "$screens" ] && break; sleep 0.05; done
    echo "== $program started over $screens retained screens with pictures of $SNAPSHOT_BYTES bytes:" \
         "$(count) screens and $(pictures) pictures after $(( ($(date +%s%N) - started) / 1000000 )) ms;" \
         "$(grep -ho '[0-9]* broker messages dropped' "$work"/late-*.err | awk '{n+=$1} END {print n+0}') messages dropped;" \
         "$(awk '/VmRSS/ {print "RSS", $2, $3}' "/proc/$console/status")"
    kill "$console"
    rm -f "$work"/late-*.err
  done
  url=$first_url token=$first_token console=$first_console
fi

echo "== a state change to 100 event streams"
node "$here/console/clients.mjs" fanout "$url" "$token" 100 20 >"$work/fanout.out" &
fanout=$!
for _ in $(seq 200); do grep -q ready "$work/fanout.out" && break; sleep 0.05; done
rss "with 100 open streams"
"$build/bench/console/console_screens" "$port" 0 20 200
wait "$fanout"
grep -v ready "$work/fanout.out"

if [ -d "$here/../tests/console/web/node_modules/playwright-core" ] && [ -x /usr/bin/chromium ]; then
  echo "== the page in Chromium"
  node "$here/console/clients.mjs" render "$url" "$token" "$screens"
else
  echo "== the page in Chromium: skipped (npm ci --prefix tests/console/web, apt-get install chromium)"
fi
rss "after the runs"

echo "== two real displays (group bench-real) among the $screens"
for name in real-1 real-2; do
  mkdir -p "$work/$name/ecran"
  printf '[ecran]\nport=0\nlisten=127.0.0.1\n[mqtt]\nbroker=mqtt://127.0.0.1:%s\nname=%s\ngroups=bench-real\n' "$port" "$name" \
    >"$work/$name/ecran/QUOLVEtavrin.ini"
  XDG_CONFIG_HOME="$work/$name" QT_QPA_PLATFORM=offscreen "$build/ecran" 2>"$work/$name.err" &
  pids+=("$!")
done
for _ in $(seq 200); do [ "$(count)" = "$((screens + 2))" ] && break; sleep 0.05; done
sleep 1
node "$here/console/clients.mjs" post "$url" "$token" 50 bench-real 2
echo "machine: $(uptime)"
