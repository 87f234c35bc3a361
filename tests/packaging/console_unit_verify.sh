#!/bin/sh
# The installed system unit of the console passes `systemd-analyze verify`,
# names the installed program, and the console's user comes with it.
#   console_unit_verify.sh BUILD_DIR UNIT_DIR_UNDER_PREFIX
set -eu
. "$(dirname "$0")/verify_unit.sh"
installed_unit "$1" "$2" ecran-console.service
grep -q '^u ecran-console ' "$tmp/root$prefix/lib/sysusers.d/ecran-console.conf" || fail "no sysusers.d entry for the unit's user"
# The manual page is checked in the package, not on this machine.
verify_unit "$unit" "$tmp/root" --man=no
echo "ok: $prefix/$2/ecran-console.service verifies, ExecStart=$program"
