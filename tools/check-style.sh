#!/usr/bin/env bash
# Style check of the whole tree: ruff's formatter and linter for Python
# (settings in pyproject.toml), clang-format for C++ (.clang-format).
# Fails on the first difference; `bash tools/check-style.sh --fix` rewrites instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t cpp < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')
if [ "${1:-}" = --fix ]; then
  ruff check --fix .
  ruff format .
  clang-format -i "${cpp[@]}"
else
  ruff format --check .
  ruff check .
  clang-format --dry-run -Werror "${cpp[@]}"
fi
