#!/usr/bin/env bash
# Builds the Debian package of ecran and checks it with lintian.
#   scripts/package.sh [--arch ARCH] [BUILD_DIR] [cmake options...]
# ARCH is the build machine's own (default) or arm64, cross-built with
# cmake/aarch64-linux-gnu.cmake from Debian's multiarch packages
# (scripts/install-deps.sh --arm64). BUILD_DIR defaults to build-package-ARCH;
# only the programs are built unless -DECRAN_TESTS=ON is given. Prints the
# path of the package last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=$(dpkg --print-architecture)
arch=$native
if [ "${1:-}" = "--arch" ]; then
  arch=${2:?usage: package.sh [--arch ARCH] [BUILD_DIR] [cmake options...]}
  shift 2
fi
dir=build-package-$arch
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  dir=$1
  shift
fi

options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DECRAN_TESTS=OFF -DECRAN_BENCH=OFF)
if [ "$arch" != "$native" ]; then
  case $arch in
    arm64) options+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake") ;;
    *) echo "package.sh: no toolchain for $arch (known: $native, arm64)" >&2; exit 2 ;;
  esac
  command -v aarch64-linux-gnu-g++ >/dev/null ||
    { echo "package.sh: no cross compiler: run scripts/install-deps.sh --arm64" >&2; exit 1; }
fi
if command -v ccache >/dev/null; then
  options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" "$@" >/dev/null
dir=$(cd "$dir" && pwd)
cmake --build "$dir" --parallel "$(nproc)" >&2
rm -rf "$dir/package"
cpack -G DEB --config "$dir/CPackConfig.cmake" -B "$dir/package" >"$dir/cpack.log" 2>&1 ||
  { cat "$dir/cpack.log" >&2; echo "package.sh: cpack failed" >&2; exit 1; }
deb=$(ls "$dir"/package/*.deb)
built=$(dpkg-deb -f "$deb" Architecture)
[ "$built" = "$arch" ] || { echo "package.sh: $deb is for $built, not $arch" >&2; exit 1; }
if command -v lintian >/dev/null; then
  lintian --no-cfg --fail-on none "$deb" >"$dir/lintian.log" 2>&1 || true
  sed 's/^/lintian: /' "$dir/lintian.log" >&2
  ! grep -q '^E: ' "$dir/lintian.log" || { echo "package.sh: lintian finds errors in $deb" >&2; exit 1; }
else
  echo "package.sh: lintian is not installed; $deb was not checked" >&2
fi
echo "$deb"
