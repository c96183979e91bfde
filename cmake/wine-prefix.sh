#!/usr/bin/env bash
# Makes the build folder's private Wine prefix once and keeps a wineserver
# running for the test run (a Wine start then costs milliseconds, not 0.4 s).
# Usage: wine-prefix.sh setup|cleanup <build folder>
set -euo pipefail
action=$1 build=$2
. "$(dirname "$0")/wine-env.sh"
case $action in
  setup)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "making the test Wine prefix in $WINEPREFIX"
      "${wine_loader[@]}" wineboot -i </dev/null >/dev/null 2>&1
      wineserver -w
    fi
    # Detached from our output: CTest waits until every holder of it has gone.
    # It fails when one runs already (a benchmark's, an interrupted run's):
    # that one serves as well.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # The prefix's own services start with the first program; start them
    # here so that they do not hold a test's output open.
    "${wine_loader[@]}" cmd.exe /c exit </dev/null >/dev/null 2>&1
    echo "prefix ready"
    ;;
  cleanup)
    wineserver -k 2>/dev/null || true
    ;;
esac
