#!/usr/bin/env bash
# Builds the launcher once more, as someone checking a published launcher
# would: from a copy of the sources in another folder, in a fresh build
# folder, later and in another time zone and locale; then compares the
# executable and the page byte for byte with this build's.
# Usage: check-reproducible.sh <source> <build> <exe> <page> <cmake -D options...>
set -euo pipefail
src=$(cd "$1" && pwd) build=$(cd "$2" && pwd) exe=$3 page=$4
shift 4
work=$build/reproducible-check
rm -rf "$work"
mkdir -p "$work/source"
started=$SECONDS

# The files a build can read: those git tracks or would track, without any
# build folder; outside git, everything but build folders.
cd "$src"
skip=${build#"$src"/}
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
      if [ -e "$f" ] && [ "${f#"$skip"/}" = "$f" ]; then printf '%s\0' "$f"; fi
    done |
    tar --null -T - -cf - | tar -xf - -C "$work/source"
else
  tar --exclude='./build*' --exclude="./$skip" --exclude=./ui/page/node_modules -cf - . | tar -xf - -C "$work/source"
fi
# The page's npm packages as this build used them, times kept, so that
# the copy does not install them again.
cp -a ui/page/node_modules "$work/source/ui/page/"

export TZ=Pacific/Kiritimati LC_ALL=C.UTF-8
if ! cmake -S "$work/source" -B "$work/build" -G Ninja "$@" -DVELMORA_BUILD_TESTS=OFF -DVELMORA_TEST_ARCH=i686 \
     >"$work/configure.log" 2>&1; then
  cat "$work/configure.log"
  exit 1
fi
if ! cmake --build "$work/build" --target VelmoraMultiplayer -j 2 >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  exit 1
fi

status=0
for pair in "$exe:$work/build/VelmoraMultiplayer.exe" "$page:$work/build/ui/page/launcher.html"; do
  ours=${pair%%:*} again=${pair#*:}
  if cmp -s "$ours" "$again"; then
    echo "identical: $(basename "$ours") ($(stat -c %s "$ours") bytes, sha256 $(sha256sum "$ours" | cut -c1-16)...)"
  else
    echo "DIFFERENT: $ours and $again; the first differing bytes (offset from 1, octal values):"
    cmp -l "$ours" "$again" | head -20 || true
    status=1
  fi
done
echo "second build: $((SECONDS - started)) s"
if [ $status -eq 0 ]; then
  rm -rf "$work"
else
  echo "both builds kept for a look: $work"
fi
exit $status
