# Timed stages of a script (sourced): `stage NAME COMMAND...` runs one
# stage and notes its seconds and the machine's load when it ended; when
# the script ends, for whatever reason, one line a stage is printed:
#   stage build: 411 s (load 1.02)
# and the stage that failed, if one did. A new stage is one more line.

stage_lines=()

stage() {
  local name=$1 start=$SECONDS status=0
  shift
  echo "== $name"
  "$@" || status=$?
  local line
  line="stage $name: $((SECONDS - start)) s (load $(cut -d' ' -f1 /proc/loadavg))"
  [ "$status" -eq 0 ] || line="$line FAILED (exit status $status)"
  stage_lines+=("$line")
  return "$status"
}

stage_summary() {
  [ ${#stage_lines[@]} -gt 0 ] || return 0
  echo "== stages"
  printf '%s\n' "${stage_lines[@]}"
  echo "stages total: $SECONDS s"
}
trap stage_summary EXIT
