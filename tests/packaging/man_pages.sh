#!/bin/sh
# Each program's manual page and its --help name the same options: every
# option that --help mentions is in the page, and every option the page
# names is one that --help knows.
#   man_pages.sh MAN_DIR PROGRAM...
set -eu
mandir=$1
shift
status=0

options() { grep -oE -- '(^|[^A-Za-z0-9-])--?[A-Za-z][A-Za-z-]*' | sed 's/^[^-]*//' | sort -u; }

for program in "$@"; do
  name=$(basename "$program")
  page="$mandir/$name.1"
  [ -f "$page" ] || { echo "FAIL: no manual page $page for $name" >&2; status=1; continue; }
  help=$(QT_QPA_PLATFORM=offscreen "$program" --help)
  # The page's text up to its examples (other programs' options), without
  # its comments, with roff's \- read as "-".
  text=$(sed '/^\.SH EXAMPLES/,$d' "$page" | grep -v '^\.\\"' | sed 's/\\-/-/g; s/\\f[BIRP]//g')
  for option in $(printf '%s\n' "$help" | options); do
    printf '%s\n' "$text" | grep -q -- "$option\\b" || { echo "FAIL: $name --help has $option, its page does not" >&2; status=1; }
  done
  for option in $(printf '%s\n' "$text" | options); do
    printf '%s\n' "$help" | grep -q -- "$option\\b" || { echo "FAIL: the page of $name names $option, which its --help does not know" >&2; status=1; }
  done
  [ $status -eq 0 ] && echo "ok: $name.1 and $name --help agree"
done
exit $status
