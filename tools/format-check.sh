#!/usr/bin/env bash
# Lists the tracked sources that clang-format would change, and fails if any.
set -euo pipefail
cd "$(dirname "$0")/.."
unformatted=()
while IFS= read -r file; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done < <(git ls-files '*.cpp' '*.h')
if [ ${#unformatted[@]} -gt 0 ]; then
    echo "Not clang-format clean (run 'make format'):"
    printf '  %s\n' "${unformatted[@]}"
    exit 1
fi
echo "clang-format: every tracked source is clean"
