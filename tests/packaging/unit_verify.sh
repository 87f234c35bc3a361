#!/bin/sh
# The installed systemd user unit passes `systemd-analyze verify`, and its
# ExecStart names the program that the install put there.
#   unit_verify.sh BUILD_DIR UNIT_DIR_UNDER_PREFIX
set -eu
. "$(dirname "$0")/verify_unit.sh"
installed_unit "$1" "$2" ecran.service
verify_unit "$unit" "$tmp/root" --user
echo "ok: $prefix/$2/ecran.service verifies, ExecStart=$program"
