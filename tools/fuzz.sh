#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each one.
#   tools/fuzz.sh [--short] [BUILD_DIR]
# --short runs each target for a few seconds (the test suite does this);
# otherwise each runs for a minute. BUILD_DIR may be relative to the current
# folder. A crash leaves its input in BUILD_DIR, named in the message.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=60
if [ "${1:-}" = "--short" ]; then seconds=10; shift; fi
out="${1:-$root/build/fuzz}"
mkdir -p "$out"
# Resolved once: the fuzzers run inside the folder, the logs are written from outside it.
out="$(cd "$out" && pwd)"
cmake -S "$root/fuzz" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$out/configure.log"
cmake --build "$out" >"$out/build.log" || { cat "$out/build.log"; exit 1; }
status=0
for target in "$out"/fuzz_*; do
    [ -x "$target" ] && [ -f "$target" ] || continue
    name=$(basename "$target")
    corpus="$out/corpus/$name"
    log="$out/$name.log"
    mkdir -p "$corpus"
    touch "$out/.$name.started"
    if (cd "$out" && "$target" -max_total_time="$seconds" -max_len=4096 \
            -artifact_prefix="$out/$name-" "$corpus" "$root/fuzz/seeds/$name" >"$log" 2>&1); then
        echo "$name: $(grep -Eo 'Done [0-9]+ runs' "$log" | tail -1), no failure"
    else
        tail -40 "$log"
        # Only this run's inputs: earlier failures stay in the folder for replay.
        find "$out" -maxdepth 1 -type f -name "$name-*" -newer "$out/.$name.started" |
            while read -r input; do
                echo "$name: FAILED; the input that failed is $input (replay: $target $input)"
            done
        echo "$name: FAILED; its full log is $log"
        status=1
    fi
done
exit $status
