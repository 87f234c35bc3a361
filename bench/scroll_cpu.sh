#!/usr/bin/env bash
# CPU of the display while its ticker scrolls, on a 1920x1080 Xvfb screen:
# process CPU seconds per wall second over SECONDS (default 60), for ecran
# and for the X server that draws what it sends. With MESSAGE-FILE, its bytes
# are sent as one plain message first (say, a main message of 2,100 lines).
#   bench/scroll_cpu.sh path/to/ecran [SECONDS [MESSAGE-FILE]]
set -euo pipefail
ecran=${1:?usage: $0 path/to/ecran [seconds [message-file]]}
seconds=${2:-60}
message=${3:-}
source "$(dirname "$0")/display_lib.sh"
start_display "$ecran"
printf '\xff1Prochain d\xe9part 17:45 - voie 3 - Salle 3 : r\xe9union \xe0 14 h' >/dev/udp/127.0.0.1/"$port"
if [ -n "$message" ]; then
  # One datagram: a shell redirection would send each line on its own.
  python3 -c 'import socket, sys; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(open(sys.argv[1], "rb").read(), ("127.0.0.1", int(sys.argv[2])))' "$message" "$port"
fi
sleep 1

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
e0=$(ticks $epid); x0=$(ticks $xpid); t0=$(date +%s.%N)
sleep "$seconds"
e1=$(ticks $epid); x1=$(ticks $xpid); t1=$(date +%s.%N)
awk -v e="$((e1 - e0))" -v x="$((x1 - x0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {
  wall = t1 - t0
  printf "scrolling at 1920x1080 over %.0f s: ecran %.2f%% of one core, Xvfb %.2f%%\n", wall, 100 * e / hz / wall, 100 * x / hz / wall
}'
