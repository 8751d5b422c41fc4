#!/usr/bin/env bash
# Fails when a C++ file of the repository does not follow .clang-format, and
# lists those files. Run `clang-format -i <file>` to format one.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed (tests/packages.txt lists it)" >&2; exit 1; }
bad=()
while IFS= read -r f; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done < <(git ls-files '*.cpp' '*.h')
if [ ${#bad[@]} -gt 0 ]; then
    echo "not formatted with .clang-format:" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
fi
echo "format: $(git ls-files '*.cpp' '*.h' | wc -l) files follow .clang-format"
