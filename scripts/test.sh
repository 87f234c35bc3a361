#!/usr/bin/env bash
# Installs what is missing, builds ecran with its tests and runs every test.
# Under CI (CI=true) or with --sanitize it also builds and runs the whole suite
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

sanitize=0
[ "${CI:-}" = "true" ] && sanitize=1
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    --no-sanitize) sanitize=0 ;;
    -h|--help) echo "usage: scripts/test.sh [--sanitize|--no-sanitize]"; exit 0 ;;
    *) echo "test: unknown option $arg" >&2; exit 2 ;;
  esac
done

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

"$root/scripts/install-deps.sh"
# The console's page and OpenAPI checks run on these npm packages (exact versions in the lock file).
npm ci --prefix "$root/tests/console/web" --no-audit --no-fund --loglevel=error

echo "== build (warnings as errors: $werror)"
"$root/scripts/build.sh" "$root/build-test" -DECRAN_WERROR=$werror -DECRAN_BENCH=ON
echo "== tests"
(cd "$root/build-test" && ctest --output-on-failure --parallel 2 --timeout 300)

if [ "$sanitize" = 1 ]; then
  echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
  "$root/scripts/build.sh" "$root/build-asan" -DECRAN_WERROR=$werror -DECRAN_SANITIZE=ON -DECRAN_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug
  echo "== tests under the sanitizers"
  (cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions="$root/scripts/lsan.supp" \
    ctest --output-on-failure --parallel 2 --timeout 600)
fi
