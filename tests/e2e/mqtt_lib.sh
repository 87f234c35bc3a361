#!/usr/bin/env bash
# A private mosquitto on a free loopback port for the fleet's end-to-end test
# and benchmark: its configuration and log in the caller's folder; never the
# system's service.
#   mqtt_start DIR [SETTINGS]  starts it (SETTINGS: more lines of configuration);
#                              sets MQTT_PORT and MQTT_PID
#   mqtt_stop                  stops the one it started
MQTT_PID=""
MQTT_PORT=""

mqtt_stop() {
  [ -n "$MQTT_PID" ] && kill "$MQTT_PID" 2>/dev/null && wait "$MQTT_PID" 2>/dev/null
  MQTT_PID=""
}

mqtt_start() {
  local dir=$1 settings=${2:-} program
  program=$(command -v mosquitto || echo /usr/sbin/mosquitto)
  [ -x "$program" ] || { echo "mosquitto is not installed (scripts/install-deps.sh)" >&2; return 1; }
  # A port taken meanwhile makes the broker end at once: another is tried.
  for _ in 1 2 3 4 5; do
    MQTT_PORT=$((20000 + RANDOM % 40000))
    {
      echo "listener $MQTT_PORT 127.0.0.1"
      echo "allow_anonymous true"
      echo "persistence false"
      # As root it would become the "mosquitto" user, who cannot read our files.
      if [ "$(id -u)" -eq 0 ]; then echo "user root"; fi
      printf '%s\n' "$settings"
    } >"$dir/mosquitto.conf"
    "$program" -c "$dir/mosquitto.conf" >"$dir/broker.log" 2>&1 &
    MQTT_PID=$!
    for _ in $(seq 50); do
      grep -q "Opening ipv4 listen socket on port $MQTT_PORT" "$dir/broker.log" && return 0
      kill -0 "$MQTT_PID" 2>/dev/null || break
      sleep 0.1
    done
    mqtt_stop
  done
  echo "mosquitto did not start:" >&2
  cat "$dir/broker.log" >&2
  return 1
}
