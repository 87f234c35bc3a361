#!/usr/bin/env bash
# Installs what is missing, builds ecran with its tests and runs every test.
# Under CI (CI=true) or with --sanitize it also builds a second tree with
# clang, AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer,
# which holds the libFuzzer targets too; the end-to-end tests then run in
# that tree and the packaging tests in the first, each once. With --fuzz
# SECONDS (CI: 5) each fuzz target then runs that long, one at a time beside
# the sanitized tests. With --arm64 (CI too) the arm64 package is cross-built
# and smoke-tested under qemu.
# Ends with one line a stage and its seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/stage.sh"

usage="usage: scripts/test.sh [--sanitize|--no-sanitize] [--fuzz SECONDS] [--arm64]"
sanitize=0
fuzz=""
arm64=0
if [ "${CI:-}" = "true" ]; then
  sanitize=1
  fuzz=5
  arm64=1
fi
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize=1 ;;
    --no-sanitize) sanitize=0 ;;
    --fuzz) fuzz=${2:?$usage}; shift ;;
    --fuzz=*) fuzz=${1#--fuzz=} ;;
    --arm64) arm64=1 ;;
    -h|--help) echo "$usage"; exit 0 ;;
    *) echo "test: unknown option $1" >&2; echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$fuzz" ] && [ "$sanitize" = 0 ]; then
  echo "test: --fuzz runs in the sanitized tree: give --sanitize too" >&2
  exit 2
fi

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
# CI builds the g++ tree once from nothing: compiled in unity batches, the
# shared headers are parsed once a batch instead of once a file (its Qt test
# executables have no precompiled header). A tree rebuilt after each edit is
# quicker one file at a time, so only CI batches. The clang tree gains
# nothing from batches (its headers are all precompiled) and keeps its
# files apart, which also spreads better over two cores.
unity=OFF
[ "${CI:-}" = "true" ] && unity=ON
ctest_args=(--output-on-failure --parallel 2)
# Under CI a test that fails is run once more, so one slow turn of a loaded
# machine does not sink the run; its first failure stays in the output.
[ "${CI:-}" = "true" ] && ctest_args+=(--repeat until-pass:2)

stage deps "$root/scripts/install-deps.sh"
# The console's page and OpenAPI checks run on these npm packages (exact versions in the lock file).
stage npm npm ci --prefix "$root/tests/console/web" --no-audit --no-fund --loglevel=error

# Line tables are debug information enough for test failures and sanitizer
# reports, and much quicker to build than full debug information.
normal_flags=(-DECRAN_WERROR=$werror -DCMAKE_UNITY_BUILD=$unity -DECRAN_BENCH=ON
              "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
sanitized_flags=(-DECRAN_WERROR=$werror -DECRAN_SANITIZE=ON -DECRAN_FUZZ=ON -DECRAN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
                 -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1)
sanitized_env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
               LSAN_OPTIONS=suppressions="$root/scripts/lsan.supp")

stage build "$root/scripts/build.sh" "$root/build-test" "${normal_flags[@]}"
if [ "$sanitize" = 1 ]; then
  # Two trees: the end-to-end tests run in the sanitized one, the packaging
  # tests in the first. The first tree's tests mostly wait on sockets and
  # timers, so they run while the sanitized tree builds.
  stage_start tests ctest --test-dir "$root/build-test" "${ctest_args[@]}" --timeout 300 -LE e2e
  stage build-sanitized env CC=clang CXX=clang++ "$root/scripts/build.sh" "$root/build-asan" "${sanitized_flags[@]}"
  stage_wait tests
  # The fuzz targets run one at a time beside the sanitized tests, which
  # leave a core mostly idle while they wait on sockets and timers.
  if [ -n "$fuzz" ]; then
    stage_start fuzz env ECRAN_FUZZ_BUILD="$root/build-asan" ECRAN_FUZZ_JOBS=1 "$root/scripts/fuzz.sh" "$fuzz"
  fi
  stage tests-sanitized env "${sanitized_env[@]}" \
    ctest --test-dir "$root/build-asan" "${ctest_args[@]}" --timeout 600 -LE packaging
  if [ -n "$fuzz" ]; then
    stage_wait fuzz
  fi
else
  stage tests ctest --test-dir "$root/build-test" "${ctest_args[@]}" --timeout 300
fi

# The Raspberry Pi package: cross-built for arm64, lintian-checked, and its
# programs run under qemu (a datagram shown and stored, ecran-config, ecran-send).
arm64_package() {
  local deb
  deb=$("$root/scripts/package.sh" --arch arm64 "$root/build-arm64" | tail -1)
  bash "$root/tests/packaging/qemu_smoke.sh" "$deb"
}
if [ "$arm64" = 1 ]; then
  stage deps-arm64 "$root/scripts/install-deps.sh" --arm64
  stage package-arm64 arm64_package
fi
