#!/usr/bin/env bash
# Takes docs/window-send.png, the README's picture of the window during a send: builds the
# picture-taking tool (dev/windowshot.cpp) and runs the real window offscreen against a
# pseudo-terminal. Run from anywhere: scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/window-send.png}
preset=${PRESET:-default}

cd "$root"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target marlune_windowshot >/dev/null
mkdir -p "$(dirname "$out")"
# The offscreen platform needs no display; its only chatter is about window hints it ignores.
QT_QPA_PLATFORM=offscreen "build/$preset/dev/marlune_windowshot" "$out" \
  2> >(grep -v -e propagateSizeHints -e XDG_RUNTIME_DIR >&2)
echo "$(stat -c %s "$out") bytes"
