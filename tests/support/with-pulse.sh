#!/usr/bin/env bash
# with-pulse.sh CMD ARGS...: runs CMD against a private PulseAudio server of its
# own (see pulse-server.sh) and returns CMD's exit status. Exports
#   PULSE_SERVER=unix:DIR/native
#   CLASSROOM_PULSE_DIR=DIR
#   CLASSROOM_SINK_CAPTURE=DIR/sink.raw    what the default sink played
#   CLASSROOM_SOURCE_FIFO=DIR/mic.fifo     raw PCM written here is the microphone
# The server is stopped and DIR removed on every exit path.
set -uo pipefail

[ $# -ge 1 ] || { echo "usage: $0 CMD [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dir=$(mktemp -d "${TMPDIR:-/tmp}/classroom-pulse.XXXXXX") || exit 1

child=
cleanup() {
    # Interrupted (e.g. a test timeout): the command must not outlive us.
    if [ -n "$child" ] && kill -0 "$child" 2>/dev/null; then
        kill -TERM "$child" 2>/dev/null
        for _ in $(seq 50); do
            kill -0 "$child" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$child" 2>/dev/null
    fi
    "$here/pulse-server.sh" stop "$dir" || true
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

CLASSROOM_PULSE_OWNER=$$ "$here/pulse-server.sh" start "$dir" || exit 1

export PULSE_SERVER=unix:$dir/native
export CLASSROOM_PULSE_DIR=$dir
export CLASSROOM_SINK_CAPTURE=$dir/sink.raw
export CLASSROOM_SOURCE_FIFO=$dir/mic.fifo

# Run in the background (stdin is /dev/null then) and waited for, so that a
# TERM from ctest's timeout reaches the trap at once.
"$@" &
child=$!
wait "$child"
status=$?
child=
exit "$status"
