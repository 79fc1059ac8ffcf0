#!/usr/bin/env bash
# Starts podium with its internal classroom server: with the chat window when
# a display is available, headless otherwise. Extra arguments go to podium
# (for example -l0.0.0.0:4070 to listen elsewhere).
set -euo pipefail
build=${1:-build}
bin="$build/bin/podium"
[ -x "$bin" ] || { echo "run: $bin is not built" >&2; exit 1; }
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
addresses=$(hostname -I 2>/dev/null || true)
echo "run: classroom server on TCP and UDP port 4060 (unless -l says otherwise)."
echo "run: clients connect to 127.0.0.1:4060${addresses:+ or one of: $addresses}"
echo "run: try  $build/bin/classroom-client -c 127.0.0.1:4060 -n NAME --text hello --voice 100"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$bin" -s "${@:2}"
fi
echo "run: no display: running headless (-n); Ctrl-C ends the class."
exec "$bin" -s -n "${@:2}"
