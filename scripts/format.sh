#!/usr/bin/env bash
# Keeps the C++ sources in the project's look (.clang-format, with Debian's clang-format).
#
#   bash scripts/format.sh           formats every tracked .cpp and .h in place
#   bash scripts/format.sh --check   changes nothing; lists what is not formatted and
#                                    fails when anything is
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

command -v clang-format >/dev/null || {
  echo "format: clang-format is missing: install the Debian package clang-format" >&2
  exit 1
}
mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -v '^tests/e2e/node_modules/')

if [ "${1:-}" = "--check" ]; then
  unformatted=()
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
  done
  if ((${#unformatted[@]})); then
    echo "format: not formatted (run bash scripts/format.sh):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
  fi
  echo "format: all ${#files[@]} sources formatted"
  exit 0
fi
clang-format -i "${files[@]}"
