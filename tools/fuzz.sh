#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each one.
#   tools/fuzz.sh [--short] [BUILD_DIR]
# --short runs each target for a few seconds (the test suite does this);
# otherwise each runs for a minute. Crashes leave their input in BUILD_DIR.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=60
if [ "${1:-}" = "--short" ]; then seconds=10; shift; fi
out="${1:-$root/build/fuzz}"
mkdir -p "$out"
cmake -S "$root/fuzz" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$out/configure.log"
cmake --build "$out" >"$out/build.log" || { cat "$out/build.log"; exit 1; }
status=0
for target in "$out"/fuzz_*; do
    [ -x "$target" ] && [ -f "$target" ] || continue
    name=$(basename "$target")
    corpus="$out/corpus/$name"
    mkdir -p "$corpus"
    if (cd "$out" && "$target" -max_total_time="$seconds" -max_len=4096 \
            "$corpus" "$root/fuzz/seeds/$name" >"$out/$name.log" 2>&1); then
        echo "$name: $(grep -Eo 'Done [0-9]+ runs' "$out/$name.log" | tail -1), no failure"
    else
        tail -40 "$out/$name.log"
        status=1
    fi
done
exit $status
