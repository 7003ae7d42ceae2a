#!/usr/bin/env bash
# `make demo`: the desktop program against its own kelvora-sim (make has built
# both). With a display it opens the program in demo mode; without one it runs
# the scripted tour under Xvfb and leaves a picture of each window it passed.
set -euo pipefail
BUILD=${1:-build}
BIN="$BUILD/bin"
OUT=${KELVORA_TOUR_DIR:-"$BUILD/tour"}

if [ ! -x "$BIN/kelvora" ] || [ ! -x "$BIN/kelvora-sim" ]; then
  echo "demo: $BIN/kelvora or $BIN/kelvora-sim is missing; run make build first" >&2
  exit 1
fi

# The browser engine logs its set-up at length; the demo does not need it.
export QT_LOGGING_RULES="${QT_LOGGING_RULES:-qt.webenginecontext=false}"

# The browser engine refuses to run as root inside its sandbox.
if [ "$(id -u)" -eq 0 ]; then
  export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:-} --no-sandbox"
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$BIN/kelvora" --demo
fi

rm -rf "$OUT"
mkdir -p "$OUT"
echo "demo: no display; touring the program under Xvfb"
# Xvfb has no GPU: the browser draws in software from the start.
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:-} --disable-gpu"
xvfb-run -a -s "-screen 0 1280x1024x24" "$BIN/kelvora" --demo --tour "$OUT"
echo
echo "demo: pictures of the tour in $(cd "$OUT" && pwd):"
for f in "$OUT"/*.png; do
  echo "  $(basename "$f")"
done
