#!/usr/bin/env bash
# Memory of the display while it scrolls and takes a new message every
# second: resident size after the first minute and at the end.
#   bench/memory_soak.sh path/to/ecran [SECONDS]     (default 300; 3600 for the hour)
set -euo pipefail
ecran=${1:?usage: $0 path/to/ecran [seconds]}
seconds=${2:-300}
source "$(dirname "$0")/display_lib.sh"
start_display "$ecran"
rss() { awk '/VmRSS/ { print $2 }' "/proc/$epid/status"; }

# The resident size follows the size of the captions on screen (a long
# ticker is a wide pixmap), so every minute sends the same pattern of sizes
# (ticker texts from 0 to 177 characters), each minute is summed up by its
# highest sample, taken half a second after each message, and growth is the
# last minute's high against the first's.
start=$(rss)
high=0
first=""
for i in $(seq 1 "$seconds"); do
  case $((i % 3)) in
    0) printf 'Message num\xe9ro %d' "$i" ;;
    1) printf '\xff1Ticker %d : %s' "$i" "$(head -c $((i % 60 * 3)) /dev/zero | tr '\0' x)" ;;
    2) printf '\xff2%d' $((i * 2654435761 % 16777216)) ;;
  esac >/dev/udp/127.0.0.1/"$port"
  sleep 0.5
  r=$(rss)
  [ "$r" -gt "$high" ] && high=$r
  if [ $((i % 60)) -eq 0 ]; then
    echo "minute $((i / 60)): highest RSS $high KiB"
    [ -z "$first" ] && first=$high
    last=$high
    high=0
  fi
  sleep 0.5
done
echo "memory over ${seconds} s, one message a second: RSS at start ${start} KiB; highest in the first minute ${first} KiB, in the last minute ${last} KiB (growth after the first minute: $((last - first)) KiB)"
