#!/usr/bin/env bash
# Private PulseAudio server for tests: pulse-server.sh start DIR | stop DIR
#
# Everything lives under DIR (runtime dir, home, socket, logs, FIFOs), so any
# number of servers can run side by side. Clients reach it through
# PULSE_SERVER=unix:DIR/native (anonymous access).
#
# Playback: the default sink "pipesink" (48000 Hz, 2 ch, s16le) is paced by the
# system clock and writes into DIR/sink.fifo; a background cat appends it to
# DIR/sink.raw, so a test reads back exactly what was played (silence when no
# stream plays, at real-time pace).
#
# Microphone: the default source is "micsink.monitor", the monitor of a second
# clock-paced pipe sink. A pacat process plays whatever is written into the FIFO
# DIR/mic.fifo (raw 48000 Hz, 2 ch, s16le) into micsink. The source therefore
# behaves like a real microphone: it always delivers data in real time, silence
# when nobody writes, and a writer is paced by the FIFO filling up (writes block)
# rather than by a clock of its own. The fed PCM reaches recorders bit-exact,
# some hundred milliseconds later (FIFO plus pacat buffer). Data written while
# nobody records is played to nobody, as with a real microphone. What the
# microphone delivered is appended to DIR/mic.raw at the moment it is
# delivered, so a benchmark can tell when each sound reached the microphone.
#
# With CLASSROOM_PULSE_OWNER=PID in the environment of "start", the server also
# stops by itself once process PID has ended.
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
action=$1
dir=$2

fail() {
    echo "pulse-server.sh: $*" >&2
    [ -f "$dir/pulse.log" ] && tail -n 30 "$dir/pulse.log" >&2
    exit 1
}

# Alive and not yet a zombie (orphans may wait a while to be reaped).
alive() {
    local state
    state=$(sed -e 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "${state:0:1}" != Z ]
}

# Stops one process we started, by the pid recorded in DIR: TERM, then KILL
# after a bounded wait.
stop_pid() {
    local file=$dir/$1.pid pid i
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    rm -f "$file"
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for i in $(seq 100); do
        alive "$pid" || return 0
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# With CLASSROOM_PULSE_OWNER=PID the server stops itself once that process is
# gone, so a test killed without cleanup leaves nothing running.
watch_owner() {
    local owner=${CLASSROOM_PULSE_OWNER:-}
    [ -n "$owner" ] || return 0
    (
        while alive "$owner" && [ -f "$dir/pulse.pid" ]; do
            sleep 0.5
        done
        [ -f "$dir/pulse.pid" ] && stop
    ) </dev/null >/dev/null 2>&1 &
}

start() {
    mkdir -p "$dir/xdg"
    chmod 700 "$dir/xdg"
    dir=$(cd "$dir" && pwd)
    rm -f "$dir/native" "$dir/sink.fifo" "$dir/micsink.fifo" "$dir/mic.fifo"
    mkfifo "$dir/sink.fifo" "$dir/micsink.fifo" "$dir/mic.fifo"
    : >"$dir/sink.raw"
    : >"$dir/mic.raw"

    # The sinks open their FIFOs read-write, so these readers never see EOF
    # while the server runs; their output must not hold the caller's pipes.
    cat "$dir/sink.fifo" >>"$dir/sink.raw" </dev/null 2>/dev/null &
    echo $! >"$dir/sinkcat.pid"
    cat "$dir/micsink.fifo" >>"$dir/mic.raw" </dev/null 2>/dev/null &
    echo $! >"$dir/miccat.pid"

    # The socket module comes last: once the socket exists, every device does.
    cat >"$dir/headless.pa" <<PA
load-module module-pipe-sink sink_name=pipesink file=$dir/sink.fifo rate=48000 channels=2 format=s16le use_system_clock_for_timing=yes
load-module module-pipe-sink sink_name=micsink file=$dir/micsink.fifo rate=48000 channels=2 format=s16le use_system_clock_for_timing=yes
set-default-sink pipesink
set-default-source micsink.monitor
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
PA

    XDG_RUNTIME_DIR=$dir/xdg HOME=$dir \
        pulseaudio --daemonize=no --system=false --exit-idle-time=-1 -n \
        --use-pid-file=no --realtime=no --high-priority=no --disallow-module-loading=no \
        -F "$dir/headless.pa" --log-target="file:$dir/pulse.log" \
        </dev/null >/dev/null 2>&1 &
    local pid=$! i
    echo $pid >"$dir/pulse.pid"

    for i in $(seq 100); do
        [ -S "$dir/native" ] && break
        alive "$pid" || fail "the PulseAudio daemon exited at start"
        sleep 0.05
    done
    [ -S "$dir/native" ] || fail "no PulseAudio socket at $dir/native after 5 s"

    # Opened read-write, the FIFO never reports EOF when a writer closes it.
    PULSE_SERVER=unix:$dir/native HOME=$dir XDG_RUNTIME_DIR=$dir/xdg \
        pacat --playback --device=micsink --raw --format=s16le --rate=48000 --channels=2 \
        --latency-msec=100 --client-name=microphone-feed --stream-name=microphone-feed \
        0<>"$dir/mic.fifo" >>"$dir/pacat.log" 2>&1 &
    echo $! >"$dir/pacat.pid"

    # The feed stream must be connected before a test relies on it.
    for i in $(seq 100); do
        if PULSE_SERVER=unix:$dir/native pactl list short sink-inputs 2>/dev/null \
            | grep -q .; then
            watch_owner
            return 0
        fi
        alive "$(cat "$dir/pacat.pid")" || fail "pacat exited: $(cat "$dir/pacat.log")"
        sleep 0.05
    done
    fail "the microphone feed did not connect within 5 s"
}

stop() {
    [ -d "$dir" ] || return 0
    stop_pid pacat
    stop_pid pulse
    stop_pid sinkcat
    stop_pid miccat
}

case $action in
start) start ;;
stop) stop ;;
*) usage ;;
esac
