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
    # No window manager runs under Xvfb: Wine's windows are left unmanaged,
    # or each one that closes waits two seconds for a manager to answer.
    if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
      "${wine_loader[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    fi
    # The prefix's own services start with the first program; start them
    # here so that they do not hold a test's output open.
    "${wine_loader[@]}" cmd.exe /c exit </dev/null >/dev/null 2>&1
    # So does the desktop process, started by the first program with a
    # window and alive until the last one has gone: a keeper of our own
    # starts it here and holds it up until the wineserver stops.
    keeper=$build/tests/support/bin/desktop-keeper.exe
    if [ -n "${DISPLAY:-}" ] && [ -f "$keeper" ]; then
      ready=$build/desktop-ready
      rm -f "$ready"
      setsid "${wine_loader[@]}" "$keeper" "Z:${ready//\//\\}" </dev/null >/dev/null 2>&1 &
      for _ in $(seq 600); do [ -f "$ready" ] && break; sleep 0.1; done
      [ -f "$ready" ] || echo "the desktop did not come up: tests with windows may hold their output"
    fi
    echo "prefix ready"
    ;;
  cleanup)
    wineserver -k 2>/dev/null || true
    ;;
esac
