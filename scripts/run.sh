#!/usr/bin/env bash
# Builds ecran if needed and starts the display. Without a display server it
# runs on Qt's offscreen platform, so it still listens and stores messages.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" -DECRAN_TESTS=OFF -DECRAN_BENCH=OFF >&2

if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display server found (DISPLAY and WAYLAND_DISPLAY are unset); starting on Qt's offscreen platform: nothing is shown, messages are still received and stored" >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec "$root/build/ecran" "$@"
