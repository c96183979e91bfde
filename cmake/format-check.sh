#!/usr/bin/env bash
# Checks that every C++ file of the repository is formatted as .clang-format
# says. Formatting differs between clang-format versions, so the check runs
# only with the version the files were formatted with; with any other it is
# skipped (exit code 77), saying why.
# Usage: format-check.sh <repository>
set -uo pipefail
repo=$1
want=14
if ! command -v clang-format >/dev/null; then
  echo "skipped: clang-format is not installed"
  exit 77
fi
have=$(clang-format --version | sed -n 's/.*version \([0-9]*\).*/\1/p')
if [ "$have" != "$want" ]; then
  echo "skipped: clang-format $have is here; the files follow clang-format $want"
  exit 77
fi
cd "$repo"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | grep -v node_modules)
fi
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "format_check: run clang-format -i on the files above"
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
