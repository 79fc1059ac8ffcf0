#!/usr/bin/env bash
# Starts podium with its internal classroom server: with the chat window when
# a display is available, headless otherwise.
set -euo pipefail
build=${1:-build}
bin="$build/bin/podium"
[ -x "$bin" ] || { echo "run: $bin is not built" >&2; exit 1; }
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$bin" -s "${@:2}"
fi
exec "$bin" -s -n "${@:2}"
