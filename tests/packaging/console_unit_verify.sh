#!/bin/sh
# The installed system unit of the console passes `systemd-analyze verify`,
# names the installed program, and the console's user comes with it.
#   console_unit_verify.sh BUILD_DIR UNIT_DIR_UNDER_PREFIX
set -eu
build=$1
unitdir=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v systemd-analyze >/dev/null 2>&1 || { echo "SKIP: systemd-analyze is not installed"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
DESTDIR="$tmp/root" "${CMAKE_COMMAND:-cmake}" --install "$build" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
unit="$tmp/root$prefix/$unitdir/ecran-console.service"
[ -f "$unit" ] || fail "no unit at $prefix/$unitdir/ecran-console.service"
program=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$unit")
[ -x "$tmp/root$program" ] || fail "ExecStart names $program, which the install did not put there"
grep -q '^u ecran-console ' "$tmp/root$prefix/lib/sysusers.d/ecran-console.conf" || fail "no sysusers.d entry for the unit's user"

# A copy whose ExecStart names the program inside the root: the check of the program is real.
mkdir -p "$tmp/unit"
sed "s#^ExecStart=#ExecStart=$tmp/root#" "$unit" >"$tmp/unit/ecran-console.service"
set +e
# The manual page is checked in the package, not on this machine.
systemd-analyze verify --man=no "$tmp/unit/ecran-console.service" >"$tmp/verify.log" 2>&1
rc=$?
set -e
if [ $rc -ne 0 ] || [ -s "$tmp/verify.log" ]; then
  cat "$tmp/verify.log" >&2
  fail "systemd-analyze verify: exit $rc"
fi
echo "ok: $prefix/$unitdir/ecran-console.service verifies, ExecStart=$program"
