#!/usr/bin/env bash
# Saves a picture of podium's chat window in a class: podium runs the internal
# server and joins it, two scripted classmates join and say something, all
# under a virtual X display with a private audio server.
# Usage: tools/screenshot.sh [build-dir] [output.png]   (default: build, docs/screenshot.png)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/docs/screenshot.png}
case $out in /*) ;; *) out=$PWD/$out ;; esac

podium=$build/bin/podium
client=$build/bin/classroom-client
for program in "$podium" "$client"; do
    [ -x "$program" ] || { echo "screenshot: $program is not built" >&2; exit 1; }
done

# Re-run this script inside a virtual display of its own.
if [ -z "${CLASSROOM_SCREENSHOT_DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" \
        env CLASSROOM_SCREENSHOT_DISPLAY=1 "${BASH_SOURCE[0]}" "$build" "$out"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/podium-screenshot.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    "$root/tests/support/pulse-server.sh" stop "$work/pulse" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# Sound devices make the window show its voice state as in a real class.
"$root/tests/support/pulse-server.sh" start "$work/pulse"
export PULSE_SERVER=unix:$work/pulse/native
export ASAN_OPTIONS=detect_leaks=0
port=$((20000 + RANDOM % 20000))
title="Classroom Chat"

TMPDIR=$work "$podium" -s -l127.0.0.1:$port -e127.0.0.1:$port -x0 -y0 "-c$title" \
    >"$work/podium.out" 2>&1 &
pids+=($!)

wait_for() { # seconds, command...
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
joined() { grep -q "cmd packetReceived CONNECTED" "$work/logpodium.log" 2>/dev/null; }
wait_for 30 joined || { echo "screenshot: podium did not join its class" >&2; tail "$work/podium.out" >&2; exit 1; }

"$client" -c 127.0.0.1:$port -n Maria --text "Good morning! Can everybody hear me?" --voice 3000 --stay 60 \
    >/dev/null 2>&1 &
pids+=($!)
sleep 1
"$client" -c 127.0.0.1:$port -n Jonas --text "Yes, loud and clear. Page seven?" --stay 60 \
    >/dev/null 2>&1 &
pids+=($!)
# Let the list, the messages and a statistics report (once a second) arrive.
sleep 3

window=$(xwininfo -root -tree | awk -v t="\"$title\"" 'index($0, t) { print $1; exit }')
[ -n "$window" ] || { echo "screenshot: no window titled $title" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "screenshot: $out"
