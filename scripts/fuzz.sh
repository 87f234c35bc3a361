#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang's libFuzzer (AddressSanitizer
# and UndefinedBehaviorSanitizer on) into their own build folder, runs each
# for SECONDS (default 60), two at a time, and ends with one line:
#   N targets, N runs, N crashes
# Exit status 0 only when no target crashed or broke an invariant.
#
#   scripts/fuzz.sh [SECONDS]
#
# Each target starts from its seeds (fuzz/corpus/<name>/) and its regression
# inputs (fuzz/regressions/<name>/); what it learns is kept in
# BUILD/corpus/<name>/ for the next run. An input that crashes is saved
# under BUILD/artifacts/<name>/: copy it into fuzz/regressions/<name>/
# so that the test suite replays it from then on. ECRAN_FUZZ_BUILD picks
# another build folder (default build-fuzz); one already configured with
# ECRAN_FUZZ=ON, such as the sanitized tree of scripts/test.sh, is used as
# it is. ECRAN_FUZZ_JOBS targets run at once (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

seconds=${1:-60}
case "$seconds" in
  -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  ''|*[!0-9]*) echo "fuzz: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac
build=${ECRAN_FUZZ_BUILD:-$root/build-fuzz}

"$root/scripts/install-deps.sh"  # clang and its libFuzzer among the rest

if ! grep -qs '^ECRAN_FUZZ:BOOL=ON$' "$build/CMakeCache.txt"; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  echo "== fuzz build in $build"
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DECRAN_FUZZ=ON -DECRAN_TESTS=OFF -DECRAN_BENCH=OFF "${launcher[@]}" >/dev/null
fi
# Only what the targets need: the programs and their tests stay unbuilt.
cmake --build "$build" --target ecran_fuzz_targets --parallel "$(nproc)"

targets=()
for src in "$root"/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" _fuzz.cpp)
  [ -x "$build/fuzz/${name}_fuzz" ] && targets+=("$name")
done

# Font configuration caches that Qt's text shaping fills live as long as the
# process; they are not the program's leaks (the test suite ignores them too).
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

jobs=${ECRAN_FUZZ_JOBS:-2}
case "$jobs" in ''|*[!0-9]*|0) echo "fuzz: ECRAN_FUZZ_JOBS must be a positive number, not '$jobs'" >&2; exit 2 ;; esac

# One target: its log, and its result in the log's .status file.
fuzz_one() {
  local name=$1
  local work="$build/corpus/$name" artifacts="$build/artifacts/$name" log="$build/logs/$name.log"
  mkdir -p "$work" "$artifacts"
  local inputs=("$work" "$root/fuzz/corpus/$name")
  [ -d "$root/fuzz/regressions/$name" ] && inputs+=("$root/fuzz/regressions/$name")
  touch "$log.start"
  local status=0
  # -timeout: an input that takes longer than that is a hang, reported as a crash.
  "$build/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1 || status=$?
  echo "$status" >"$log.status"
}

mkdir -p "$build/logs"
running=0
for name in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$name" &
  running=$((running + 1))
done
wait

total_runs=0
crashes=0
for name in "${targets[@]}"; do
  log="$build/logs/$name.log"
  artifacts="$build/artifacts/$name"
  status=$(cat "$log.status" 2>/dev/null || echo 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  if [ -z "$runs" ]; then
    # Killed before its statistics: the last progress line says how far it got.
    runs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  fi
  runs=${runs:-0}
  total_runs=$((total_runs + runs))
  if [ "$status" -ne 0 ]; then
    crashes=$((crashes + 1))
    echo "$name: $runs runs, CRASH (exit status $status); log $log"
    grep -E 'invariant broken|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error' "$log" | head -n 3 | sed 's/^/  /' || true
    find "$artifacts" -type f -newer "$log.start" | sed 's/^/  input: /'
  else
    echo "$name: $runs runs, no crash"
  fi
done

echo "${#targets[@]} targets, $total_runs runs, $crashes crashes"
[ "${#targets[@]}" -gt 0 ] && [ "$crashes" -eq 0 ]
