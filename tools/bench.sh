#!/usr/bin/env bash
# Runs every benchmark of a Release build; each prints "name: value unit" lines.
set -euo pipefail
build=${1:-build-bench}
status=0
for b in "$build"/bin/bench/*; do
    [ -x "$b" ] && [ -f "$b" ] || continue
    echo "# $(basename "$b")"
    if [ -x tests/support/with-pulse.sh ]; then
        tests/support/with-pulse.sh "$b" || status=1
    else
        "$b" || status=1
    fi
done
exit $status
