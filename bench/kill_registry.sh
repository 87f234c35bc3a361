#!/usr/bin/env bash
# Kill test of the registry store: N times, runs one or two writes through
# ecran-config (each to a value of its own below
# HKEY_CURRENT_USER\Software\Kill), then one more that is killed with
# SIGKILL at a random moment of its run (within the time the write before it
# took). After each kill the store must pass SQLite's integrity check and
# hold every write whose ecran-config had exited with status 0; at the end
# every such write is checked again, with its exact text. Prints "N kills, N whole"; exit status 0 when every kill
# left the store whole.
#
#   bench/kill_registry.sh N [ECRAN-CONFIG]
#
# Default: build-test/tools/ecran-config/ecran-config. Needs the sqlite3 tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
n=${1:-}
case "$n" in
  ''|*[!0-9]*) echo "usage: bench/kill_registry.sh N [ECRAN-CONFIG]" >&2; exit 2 ;;
esac
config=${2:-$root/build-test/tools/ecran-config/ecran-config}
[ -x "$config" ] || { echo "kill_registry: $config is not built" >&2; exit 2; }
command -v sqlite3 >/dev/null || { echo "kill_registry: the sqlite3 tool is missing (apt-get install sqlite3)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work"
db="$work/ecran/registry.db"
key='HKEY_CURRENT_USER\Software\Kill'
sections=5
tab=$'\t'

# Value j of cycle i: varied lengths, blanks at the ends, an accented letter.
value() {
  local i=$1 j=$2 filler
  filler=$(printf '%*s' $(((i * 7 + j * 13) % 300)) '' | tr ' ' 'x')
  printf ' r\xc3\xa9union %s.%s %s ' "$i" "$j" "$filler"
}

set_value() {  # set_value I J: one write, acknowledged in $work/acks when it exits 0
  "$config" --file "\$$key" set "s$(($1 % sections))" "k$1.$2" "$(value "$1" "$2")" >/dev/null 2>"$work/err"
}

acknowledge() { printf 's%s\tk%s.%s = %s\n' $(($1 % sections)) "$1" "$2" "$(value "$1" "$2")" >>"$work/acks"; }

# The values of the acknowledged writes of cycle I (all cycles when I is
# empty) that the store does not hold, one a line.
missing() {
  local s
  for ((s = 0; s < sections; s++)); do
    "$config" list "$key\\s$s" 2>/dev/null | sed "s/^/s$s\t/" || true
  done | sort >"$work/held"
  { grep -a "${1:+${tab}k$1\.}" "$work/acks" || true; } | sort | comm -23 - "$work/held"
}

now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }

touch "$work/acks"
whole=0
killed=0
for ((i = 1; i <= n; i++)); do
  reason=""
  for ((j = 1; j <= 1 + RANDOM % 2; j++)); do
    start=$(now_ms)
    if set_value "$i" "$j"; then acknowledge "$i" "$j"; else reason="write $i.$j failed: $(tail -n 1 "$work/err")"; fi
    took=$(($(now_ms) - start))
  done
  # The write to kill: SIGKILL at a random moment of a run as long as the
  # last write's.
  # exec: the process killed is ecran-config itself, not a shell around it.
  (exec "$config" --file "\$$key" set "s$((i % sections))" "k$i.0" "$(value "$i" 0)" >/dev/null 2>"$work/err") &
  writer=$!
  delay=$((RANDOM % (took + 1)))
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -KILL "$writer" 2>/dev/null || true
  status=0
  { wait "$writer"; } 2>/dev/null || status=$?
  if [ "$status" -eq 0 ]; then acknowledge "$i" 0; else killed=$((killed + 1)); fi

  check=$(sqlite3 "$db" 'PRAGMA integrity_check' 2>&1 || true)
  [ "$check" = ok ] || reason="integrity check: $check"
  lost=$(missing "$i")
  [ -z "$lost" ] || reason="acknowledged writes missing: $lost"
  if [ -z "$reason" ]; then
    whole=$((whole + 1))
  else
    echo "kill $i: $reason" >&2
  fi
done

lost=$(missing "")
acked=$(wc -l <"$work/acks")
if [ -n "$lost" ]; then
  echo "at the end, acknowledged writes missing:" >&2
  echo "$lost" >&2
  whole=0
fi
echo "$acked writes acknowledged, all present: $([ -z "$lost" ] && echo yes || echo no); $killed writers died by the kill, $((n - killed)) had finished"
echo "$n kills, $whole whole"
[ "$whole" -eq "$n" ]
