#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one. --short runs each
# for a few seconds (as part of the tests); without it each runs for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
[ "${1:-}" = "--short" ] && seconds=10
[ -f fuzz/CMakeLists.txt ] || exit 0
cmake -S fuzz -B fuzz-build -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build fuzz-build
for target in fuzz-build/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="fuzz-build/corpus/$name"
    mkdir -p "$corpus"
    echo "fuzz: $name for ${seconds}s"
    "$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 "$corpus" fuzz/seeds/"$name" 2>fuzz-build/"$name".log \
        || { tail -40 fuzz-build/"$name".log; exit 1; }
done
