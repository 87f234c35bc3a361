#!/bin/sh
# `cpack -G DEB` builds a package that, unpacked into an empty root, holds
# the programs in /usr/bin (whatever prefix the build was configured with)
# where the unit and the autostart entry expect them, the unit enabled for
# the graphical session and accepted by `systemd-analyze verify` in that
# root, the manual pages, copyright and changelog, and the dependencies
# declared; lintian finds no error in it.
#   deb_layout.sh BUILD_DIR
set -eu
build=$1
. "$(dirname "$0")/verify_unit.sh"
cpack=${CPACK_COMMAND:-cpack}
need "apt-get install cmake dpkg-dev" "$cpack" dpkg-deb dpkg-shlibdeps
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
prefix=/usr
unitdir=$(cache ECRAN_USER_UNIT_DIR)
autostart=$(cache ECRAN_AUTOSTART_DIR)
[ -n "$autostart" ] || autostart=/etc/xdg/autostart

# The package is built outside the build tree (-B), which stays untouched.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
set -- "$tmp"/out/*.deb
[ -f "$1" ] || fail "cpack made no .deb"
deb=$1
dpkg-deb -x "$deb" "$tmp/root"
root="$tmp/root"

for program in ecran ecran-send ecran-console; do
  [ -x "$root$prefix/bin/$program" ] || fail "the package has no $prefix/bin/$program"
done
if [ -x "$build/tools/ecran-config/ecran-config" ]; then
  [ -x "$root$prefix/bin/ecran-config" ] || fail "ecran-config is built but not in the package"
fi

unit="$root$prefix/$unitdir/ecran.service"
[ -f "$unit" ] || fail "no unit at $prefix/$unitdir/ecran.service"
exec_path=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_path" = "$prefix/bin/ecran" ] || fail "ExecStart=$exec_path, but the package installs $prefix/bin/ecran"
[ -x "$root$exec_path" ] || fail "ExecStart names $exec_path, which is not in the package"

wants="$root$prefix/$unitdir/graphical-session.target.wants/ecran.service"
[ -L "$wants" ] || fail "the unit is not enabled for graphical-session.target"
[ "$(readlink "$wants")" = "../ecran.service" ] || fail "the enabling link points at $(readlink "$wants")"
[ -f "$wants" ] || fail "the enabling link is dangling"

desktop="$root$autostart/ecran.desktop"
[ -f "$desktop" ] || fail "no autostart entry at $autostart/ecran.desktop"
[ "$(sed -n 's/^Exec=//p' "$desktop")" = "$exec_path" ] || fail "the autostart entry starts another program than the unit"
grep -qx 'X-systemd-skip=true' "$desktop" || fail "the autostart entry would start a second copy under systemd"
if have desktop-file-validate " (desktop-file-utils); the entry's syntax is not checked"; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the autostart entry"
fi

# Nothing outside Debian's places: no /usr/local, no build prefix.
strays=$(cd "$root" && find . ! -type d | sed 's/^\.//' | grep -v -e '^/usr/bin/' -e '^/usr/lib/systemd/user/' \
  -e '^/usr/lib/systemd/system/ecran-console.service$' -e '^/usr/lib/sysusers.d/ecran-console.conf$' \
  -e '^/usr/share/man/man1/' -e '^/usr/share/doc/ecran/' -e "^$autostart/" || true)
[ -z "$strays" ] || fail "files outside Debian's layout: $strays"

doc="$root/usr/share/doc/ecran"
grep -q '^License: Expat' "$doc/copyright" || fail "no copyright file with the licence in /usr/share/doc/ecran"
version=$(dpkg-deb -f "$deb" Version)
top=$(gzip -dc "$doc/changelog.Debian.gz" | sed -n '1s/^ecran (\([^)]*\)).*/\1/p')
[ "$top" = "$version" ] || fail "the changelog's first entry is '$top', the package's version $version"
for page in ecran ecran-send ecran-config ecran-console; do
  gzip -t "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null || fail "no manual page $page(1)"
done
case "$(dpkg-deb -f "$deb" Maintainer)" in
  *@localhost* | *example.com* | "") fail "placeholder maintainer: $(dpkg-deb -f "$deb" Maintainer)" ;;
esac

# The packaged unit, checked against the unpacked root.
if have systemd-analyze "; the packaged unit is not verified"; then
  verify_unit "$unit" "$root" --user
fi

if have lintian "; the package is not checked against Debian's policy"; then
  lintian --no-cfg --fail-on none "$deb" >"$tmp/lintian.log" 2>&1 || true
  if grep -q '^E: ' "$tmp/lintian.log"; then
    cat "$tmp/lintian.log" >&2
    fail "lintian reports errors"
  fi
  echo "lintian: $(grep -c '^W: ' "$tmp/lintian.log" || true) warning(s)"
  grep '^W: ' "$tmp/lintian.log" || true
fi

depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *libqt6widgets6*) ;; *) fail "Depends lacks the Qt libraries: $depends" ;; esac
case "$depends" in *qt6-qpa-plugins*) ;; *) fail "Depends lacks the Qt platform plugins: $depends" ;; esac
case "$autostart" in
  /etc/*) dpkg-deb -I "$deb" conffiles | grep -qx "$autostart/ecran.desktop" || fail "the autostart entry is not a conffile" ;;
esac

echo "ok: $(basename "$deb"): Depends: $depends"
