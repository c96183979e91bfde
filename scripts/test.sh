#!/usr/bin/env bash
# Builds the launcher and every test program, then runs all tests under Wine
# (in a private prefix inside the build folder) and headless Chromium.
# Usage: scripts/test.sh [build folder]   (default: build)
# VELMORA_TEST_ARCH=i686|x86_64 forces the tests' architecture; by default
# it is i686 where this machine runs 32-bit programs, else x86_64.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}

"$here/scripts/install-deps.sh"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cat "$build/test-arch.txt"
cmake --build "$build"

# One X display for the whole run: message boxes and the window need one,
# and the prefix's wineserver keeps the display it started with.
cd "$build"
xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure --timeout 900 -j2
