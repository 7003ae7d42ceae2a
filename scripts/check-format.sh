#!/usr/bin/env bash
# Checks that every C++ source is laid out as .clang-format says; names each file
# that is not. `scripts/check-format.sh --fix` rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(find src sim tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) \
  -not -path 'tests/fixtures/*' | sort)
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
status=0
for f in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$f" > /dev/null 2>&1; then
    echo "$f: not formatted (scripts/check-format.sh --fix)" >&2
    status=1
  fi
done
exit $status
