#!/usr/bin/env bash
# ecran's command line: --help and --version print and exit without opening a
# window (a platform that does not exist would make any window fail), and
# every other argument is refused.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
export QT_QPA_PLATFORM=no-such-platform

out=$("$ECRAN" --help 2>&1) && status=0 || status=$?
check "--help exits 0 without a window" [ "$status" -eq 0 ]
check "--help names the setting" grep -q '\[ecran\] port' <<<"$out"
out=$("$ECRAN" --version 2>&1) && status=0 || status=$?
check "--version prints the version" [ "$status" -eq 0 ] && grep -q '^ecran [0-9]' <<<"$out"
out=$("$ECRAN" --port 4445 2>&1) && status=0 || status=$?
check "an argument is refused with status 2" [ "$status" -eq 2 ]
check "the refusal names the settings and the file" grep -q "ecran takes no arguments; its settings are \[ecran\] port, listen and allow in $INI" <<<"$out"
check "nothing was written" [ ! -e "$INI" ]
finish
