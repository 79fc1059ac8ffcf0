#!/usr/bin/env bash
# Runs the test suite of a build under a given machine timing, since a test
# must pass on a slow loaded machine as on a fast idle one:
#   tools/test-under-load.sh load    [build] [ctest arguments...]  every core busy (stress-ng)
#   tools/test-under-load.sh onecore [build] [ctest arguments...]  tests and children on CPU 0
set -euo pipefail
mode=${1:?usage: test-under-load.sh load|onecore [build] [ctest arguments...]}
build=${2:-build}
shift $(( $# >= 2 ? 2 : 1 ))
[ -f "$build/CTestTestfile.cmake" ] || { echo "test-under-load: $build is not a test build" >&2; exit 1; }

case "$mode" in
load)
    command -v stress-ng >/dev/null || { echo "test-under-load: stress-ng missing (make deps)" >&2; exit 1; }
    # One busy worker per core at the tests' own priority: they compete for
    # the processor as with any other program on a shared machine. Ending
    # stress-ng by its own id ends its workers too.
    stress-ng --cpu "$(nproc)" --cpu-method matrixprod --quiet &
    load=$!
    trap 'kill "$load" 2>/dev/null || true; wait "$load" 2>/dev/null || true' EXIT
    (cd "$build" && ctest --output-on-failure "$@")
    ;;
onecore)
    (cd "$build" && taskset -c 0 ctest --output-on-failure "$@")
    ;;
*)
    echo "test-under-load: unknown mode $mode (load or onecore)" >&2
    exit 2
    ;;
esac
