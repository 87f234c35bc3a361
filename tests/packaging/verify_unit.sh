# Sourced by the packaging tests: fail(), a private $tmp removed at exit,
# and the checks of an installed systemd unit.
fail() { echo "FAIL: $*" >&2; exit 1; }
# need HINT TOOL...: the test is skipped, saying how to install it, when a tool is missing.
need() {
  hint=$1
  shift
  for tool; do command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed ($hint)"; exit 77; }; done
}
# have TOOL WHY: true when TOOL is installed; otherwise a note that it is not, and WHY it matters.
have() { command -v "$1" >/dev/null 2>&1 || { echo "note: $1 is not installed$2"; return 1; }; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# installed_unit BUILD_DIR UNIT_DIR_UNDER_PREFIX NAME: installs the build
# below $tmp/root (skipped without systemd-analyze, which checks it); sets prefix, unit (the installed file) and program (what
# its ExecStart runs, an absolute path the install put there).
installed_unit() {
  need "apt-get install systemd" systemd-analyze
  DESTDIR="$tmp/root" "${CMAKE_COMMAND:-cmake}" --install "$1" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$1/CMakeCache.txt")
  unit="$tmp/root$prefix/$2/$3"
  [ -f "$unit" ] || fail "no unit at $prefix/$2/$3"
  program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
  case "$program" in
    /*) ;;
    *) fail "ExecStart '$program' is not an absolute path" ;;
  esac
  [ -x "$tmp/root$program" ] || fail "ExecStart names $program, which the install did not put there"
}

# verify_unit UNIT ROOT [OPTION...]: `systemd-analyze [OPTION...] verify`
# of UNIT as installed below ROOT. It takes no --root for user units, so it
# checks a copy whose ExecStart names the program inside ROOT, and its check
# of the program is real. verify exits 0 after mere warnings (an unknown
# setting, a bad value), so any output at all fails.
verify_unit() {
  verified=$1
  copy="$tmp/unit/$(basename "$1")"
  mkdir -p "$tmp/unit" "$tmp/run"
  sed "s#^ExecStart=#ExecStart=$2#" "$1" >"$copy"
  shift 2
  rc=0
  XDG_RUNTIME_DIR="$tmp/run" systemd-analyze "$@" verify "$copy" >"$tmp/verify.log" 2>&1 || rc=$?
  if [ $rc -ne 0 ] || [ -s "$tmp/verify.log" ]; then
    cat "$tmp/verify.log" >&2
    fail "systemd-analyze verify of $verified: exit $rc"
  fi
}
