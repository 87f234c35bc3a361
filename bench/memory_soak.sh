#!/usr/bin/env bash
# Memory of the display while it scrolls and takes a new message every
# second: resident size after the first minute and at the end.
#   bench/memory_soak.sh path/to/ecran [SECONDS]     (default 300; 3600 for the hour)
set -euo pipefail
ecran=${1:?usage: $0 path/to/ecran [seconds]}
seconds=${2:-300}
work=$(mktemp -d)
trap 'kill $epid $xpid 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

exec 5< <(Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp 2>/dev/null)
read -r n <&5
xpid=$(pgrep -n Xvfb)
export DISPLAY=":$n" XDG_CONFIG_HOME="$work"
"$ecran" 2>"$work/err" &
epid=$!
sleep 3
port=$(sed -n 's/.*UDP port \([0-9]*\).*/\1/p' "$work/err")
rss() { awk '/VmRSS/ { print $2 }' "/proc/$epid/status"; }

start=$(rss)
for i in $(seq 1 "$seconds"); do
  case $((i % 3)) in
    0) printf 'Message num\xe9ro %d' "$i" ;;
    1) printf '\xff1Ticker %d : %s' "$i" "$(head -c $((i % 200)) /dev/zero | tr '\0' x)" ;;
    2) printf '\xff2%d' $((i * 2654435761 % 16777216)) ;;
  esac >/dev/udp/127.0.0.1/"$port"
  [ "$i" -eq 60 ] && minute=$(rss)
  [ $((i % 60)) -eq 0 ] && echo "after $i s: RSS $(rss) KiB"
  sleep 1
done
end=$(rss)
echo "memory over ${seconds} s, one message a second: RSS at start ${start} KiB, after one minute ${minute:-$start} KiB, at the end ${end} KiB (growth after the first minute: $((end - ${minute:-$start})) KiB)"
