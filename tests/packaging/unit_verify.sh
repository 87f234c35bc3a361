#!/bin/sh
# The installed systemd user unit passes `systemd-analyze verify`, and its
# ExecStart names the program that the install put there.
#   unit_verify.sh BUILD_DIR UNIT_DIR_UNDER_PREFIX
set -eu
build=$1
unitdir=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze is not installed (apt-get install systemd)"
  exit 77
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake=${CMAKE_COMMAND:-cmake}

DESTDIR="$tmp/root" "$cmake" --install "$build" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
unit="$tmp/root$prefix/$unitdir/ecran.service"
[ -f "$unit" ] || fail "no unit at $prefix/$unitdir/ecran.service"

exec_path=$(sed -n 's/^ExecStart=//p' "$unit")
case "$exec_path" in
  /*) ;;
  *) fail "ExecStart '$exec_path' is not an absolute path" ;;
esac
[ -x "$tmp/root$exec_path" ] || fail "ExecStart names $exec_path, which the install did not put there"

. "$(dirname "$0")/verify_unit.sh"
verify_unit "$unit" "$tmp/root"
echo "ok: $prefix/$unitdir/ecran.service verifies, ExecStart=$exec_path"
