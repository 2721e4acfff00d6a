#!/usr/bin/env bash
# Formats the tree's C and C++ sources with the committed .clang-format; with --check it changes
# nothing and fails on the first file that differs (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [[ "${1:-}" == --check ]]; then
  clang-format-14 --dry-run --Werror "${files[@]}"
else
  clang-format-14 -i "${files[@]}"
fi
