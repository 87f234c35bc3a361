# Sourced by the packaging tests: verify_unit UNIT ROOT checks the user unit
# UNIT with systemd-analyze as installed below ROOT. systemd-analyze takes no
# --root for user units, so it checks a copy whose ExecStart names the
# program inside ROOT, and its check of the program is real. verify exits 0
# after mere warnings (an unknown setting, a bad value), so any output at all
# fails. Needs $tmp and fail().
verify_unit() {
  mkdir -p "$tmp/unit" "$tmp/run"
  sed "s#^ExecStart=#ExecStart=$2#" "$1" >"$tmp/unit/ecran.service"
  set +e
  XDG_RUNTIME_DIR="$tmp/run" systemd-analyze --user verify "$tmp/unit/ecran.service" >"$tmp/verify.log" 2>&1
  rc=$?
  set -e
  if [ $rc -ne 0 ] || [ -s "$tmp/verify.log" ]; then
    cat "$tmp/verify.log" >&2
    fail "systemd-analyze verify of $1: exit $rc"
  fi
}
