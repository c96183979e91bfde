#!/usr/bin/env bash
# Checks that no function of the product's C++ is longer than 80 lines
# (clang-tidy's readability-function-size), but for the exceptions listed,
# each with its reason, in cmake/function-size-exceptions.txt. Skipped (exit
# code 77), saying why, where clang-tidy cannot run.
# Usage: function-size-check.sh <repository> <build folder> <compiler>
set -uo pipefail
repo=$1 build=$2 compiler=$3
if ! command -v clang-tidy >/dev/null; then
  echo "skipped: clang-tidy is not installed"
  exit 77
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "skipped: $build has no compile_commands.json"
  exit 77
fi
# clang parses the cross build with the cross compiler's library and
# system headers; its own intrinsics stand in for GCC's, which it cannot read.
target=$("$compiler" -dumpmachine)
extra=(--extra-arg=--target="$target" --extra-arg=-nostdinc++)
while read -r dir; do
  case "$dir" in
    */include/c++*|*/"$target"/include) extra+=(--extra-arg=-isystem"$dir") ;;
  esac
done < <(echo | "$compiler" -xc++ -E -v - 2>&1 | sed -n '/#include <...> search starts here/,/End of search/p' |
         grep '^ /' | sed 's/^ //')

cd "$repo"
mapfile -t files < <(git ls-files 'app/*.cpp' 'common/*.cpp' 'game/*.cpp' 'json/*.cpp' 'net/*.cpp' 'servers/*.cpp' \
                                 'ui/*.cpp' 'update/*.cpp' 'webview/*.cpp')
out=$(printf '%s\n' "${files[@]}" | xargs -P 2 -n 8 clang-tidy -p "$build" --quiet --checks='-*,readability-function-size' \
        --config='{CheckOptions: [{key: readability-function-size.LineThreshold, value: 80}]}' \
        --warnings-as-errors='' "${extra[@]}" 2>/dev/null)
# "file:line:col: warning: function 'Name' exceeds ..." for each long one.
long=$(printf '%s\n' "$out" | sed -n "s|^$repo/\([^:]*\):[0-9]*:[0-9]*: warning: function '\([^']*\)' exceeds.*|\1 \2|p" | sort -u)
errors=$(printf '%s\n' "$out" | grep -c ' error: ')
if [ "$errors" -gt 0 ]; then
  printf '%s\n' "$out" | grep ' error: ' | head -n 5
  echo "function_size_check: clang-tidy could not read the sources"
  exit 1
fi
allowed=$(grep -v '^#' cmake/function-size-exceptions.txt | awk 'NF >= 2 {print $1, $2}' | sort -u)
unexpected=$(comm -23 <(printf '%s\n' "$long" | sed '/^$/d') <(printf '%s\n' "$allowed" | sed '/^$/d'))
if [ -n "$unexpected" ]; then
  echo "functions over 80 lines (split them, or list them with a reason in cmake/function-size-exceptions.txt):"
  printf '  %s\n' $unexpected | paste - -
  exit 1
fi
echo "${#files[@]} files: no function over 80 lines beyond the listed exceptions"
