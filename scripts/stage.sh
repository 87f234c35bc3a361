# Timed stages of a script (sourced): `stage NAME COMMAND...` runs one
# stage and notes its seconds and the machine's load when it ended; when
# the script ends, for whatever reason, one line a stage is printed:
#   stage build: 411 s (load 1.02)
# and the stage that failed, if one did. A new stage is one more line.

stage_lines=()

# stage_note NAME SECONDS STATUS [HOW]: notes one stage's line.
stage_note() {
  local line="stage $1: $2 s${4:+ $4} (load $(cut -d' ' -f1 /proc/loadavg))"
  [ "$3" -eq 0 ] || line="$line FAILED (exit status $3)"
  stage_lines+=("$line")
}

stage() {
  local name=$1 start=$SECONDS status=0
  shift
  echo "== $name"
  "$@" || status=$?
  stage_note "$name" $((SECONDS - start)) "$status"
  return "$status"
}

# `stage_start NAME COMMAND...` runs a stage in the background, its output
# kept aside; `stage_wait NAME` waits for it, prints that output and notes
# the stage as `stage` does. For stages that do not fight over the CPU, such
# as tests that mostly wait on sockets beside a build.
declare -A stage_pids stage_starts stage_logs

stage_start() {
  local name=$1
  shift
  echo "== $name (in the background)"
  stage_logs[$name]=$(mktemp)
  stage_starts[$name]=$SECONDS
  ( status=0; "$@" || status=$?; echo "$SECONDS" >"${stage_logs[$name]}.end"; exit "$status" ) \
    >"${stage_logs[$name]}" 2>&1 &
  stage_pids[$name]=$!
}

stage_wait() {
  local name=$1 status=0
  wait "${stage_pids[$name]}" || status=$?
  unset "stage_pids[$name]"
  echo "== $name (output)"
  cat "${stage_logs[$name]}"
  local end=$SECONDS
  [ -s "${stage_logs[$name]}.end" ] && end=$(cat "${stage_logs[$name]}.end")
  rm -f "${stage_logs[$name]}" "${stage_logs[$name]}.end"
  stage_note "$name" $((end - stage_starts[$name])) "$status" "in the background"
  return "$status"
}

# A stage still running in the background when the script stops early is
# stopped with it, its output kept.
stage_stop_background() {
  local name
  for name in "${!stage_pids[@]}"; do
    pkill -TERM -P "${stage_pids[$name]}" 2>/dev/null || true
    kill "${stage_pids[$name]}" 2>/dev/null || true
    wait "${stage_pids[$name]}" 2>/dev/null || true
    echo "== $name (stopped; its output)"
    cat "${stage_logs[$name]}"
    rm -f "${stage_logs[$name]}" "${stage_logs[$name]}.end"
    stage_lines+=("stage $name: stopped after $((SECONDS - stage_starts[$name])) s")
  done
}

stage_summary() {
  stage_stop_background
  [ ${#stage_lines[@]} -gt 0 ] || return 0
  echo "== stages"
  printf '%s\n' "${stage_lines[@]}"
  echo "stages total: $SECONDS s"
}
trap stage_summary EXIT
