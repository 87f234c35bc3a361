#!/usr/bin/env bash
# The real display with an [mqtt] section, under Xvfb, against a private
# mosquitto on a loopback port: a command published to every screen shows
# and is stored; the status is online, then offline after a clean stop, a
# SIGKILL, and a frozen process (the broker's keep-alive check); a bad
# section stops the start.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

source "$here/mqtt_lib.sh"
trap 'mqtt_stop; cleanup' EXIT
mqtt_start "$WORK" || exit 1

KEEPALIVE=5
# The section is written with ecran-config, as an operator would.
CONFIG="${2:?build dir}/tools/ecran-config/ecran-config"
"$CONFIG" set ecran port 0
"$CONFIG" set mqtt broker "mqtt://127.0.0.1:$MQTT_PORT"
"$CONFIG" set mqtt name e2e
"$CONFIG" set mqtt keepalive "$KEEPALIVE"
check "ecran-config writes the [mqtt] section" grep -q "^broker=mqtt://127.0.0.1:$MQTT_PORT" "$INI"

status_now() { mosquitto_sub -p "$MQTT_PORT" -t ecran/e2e/status -C 1 -W 2 2>/dev/null || true; }
state_now() { mosquitto_sub -p "$MQTT_PORT" -t ecran/e2e/state -C 1 -W 2; }
wait_connected() { within 5 grep -q 'connected to the MQTT broker' "$WORK/ecran.err"; }
# The display started again, once it has connected (or 5 s have passed).
restart_connected() { start_ecran; wait_connected || true; }

start_x
start_ecran
check "the display says where it connects" grep -q "connecting to the MQTT broker mqtt://127.0.0.1:$MQTT_PORT as ecran-e2e" "$WORK/ecran.err"
check "the display connects" wait_connected
check "status is online, retained" [ "$(status_now)" = online ]

mosquitto_pub -p "$MQTT_PORT" -q 1 -t ecran/all/color -m red
mosquitto_pub -p "$MQTT_PORT" -q 1 -t ecran/all/text -m 'Réunion à 14 h'
sleep 0.6
check "a text published to all screens is stored in Windows-1252" grep -q $'infos=R\xe9union \xe0 14 h\r$' "$INI"
check "the published text shows in the published colour" shows mqtt '255 0 0'
check "the state names the text, colour and road" grep -q '"text":"Réunion à 14 h".*"color":"#FF0000".*"source":"mqtt ecran/all/text"' <<<"$(state_now)"
printf 'par UDP' >"/dev/udp/127.0.0.1/$PORT"
sleep 0.5
check "a datagram changes the state too" grep -q '"text":"par UDP".*"source":"udp 127.0.0.1:' <<<"$(state_now)"

timed stop_ecran TERM
echo "clean stop took $TOOK s"
check "SIGTERM ends the display with status 0" [ "$STATUS" -eq 0 ]
check "a clean stop leaves the status offline" [ "$(status_now)" = offline ]

restart_connected
check "a restart shows online again" [ "$(status_now)" = online ]
stop_ecran KILL
sleep 0.5
check "after SIGKILL the broker says offline (last will)" [ "$(status_now)" = offline ]

# A frozen screen keeps its connection open but stops answering: the broker
# gives up and publishes the will. MQTT asks the broker to wait one and a
# half keep-alives from the screen's last packet; mosquitto 2.0.11 was seen
# to take about two, so the bound here is two and a half from the freeze.
restart_connected
mosquitto_sub -p "$MQTT_PORT" -t ecran/e2e/status -R -C 1 -W 20 >"$WORK/will.out" 2>/dev/null &
watcher=$!
sleep 0.3
kill -STOP "$ECRAN_PID"
timed wait "$watcher" || true
echo "frozen screen reported offline after $TOOK s (keep-alive $KEEPALIVE s)"
check "a frozen screen is offline within 2.5 keep-alives" awk -v t="$TOOK" -v k="$KEEPALIVE" 'BEGIN { exit !(t <= 2.5 * k) }'
check "the will says offline" [ "$(cat "$WORK/will.out")" = offline ]
kill -CONT "$ECRAN_PID"
stop_ecran TERM

# A broker that hangs (stopped, its connections open) holds nothing up: the
# display shows datagrams, and a stop ends within its bounded waits.
restart_connected
kill -STOP "$MQTT_PID"
printf 'broker fig\xe9' >"/dev/udp/127.0.0.1/$PORT"
sleep 0.5
check "with the broker hung, datagrams still show and are stored" grep -q $'infos=broker fig\xe9\r$' "$INI"
timed stop_ecran TERM
echo "stop with a hung broker took $TOOK s"
check "a stop with a hung broker ends within 4 s, status 0" awk -v t="$TOOK" -v s="$STATUS" 'BEGIN { exit !(t <= 4 && s == 0) }'
grep -q 'did not acknowledge "offline" in time' "$WORK/ecran.err" && pass "the display says the broker did not acknowledge" || fail "no line about the unacknowledged offline"
kill -CONT "$MQTT_PID"

# A section that cannot be used stops the start with one line naming key and file.
printf '[mqtt]\r\nbroker=mqtt://127.0.0.1:%s\r\nname=two words\r\n' "$MQTT_PORT" >"$INI"
status_of "$ECRAN" 2>"$WORK/bad.err"
check "a bad [mqtt] name ends start-up with status 1" [ "$STATUS" -eq 1 ]
check "the line names the key and the file" grep -q "\[mqtt\] name \"two words\" in $INI" "$WORK/bad.err"

finish
