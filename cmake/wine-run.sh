#!/usr/bin/env bash
# Runs a Windows program under Wine in the build folder's private prefix,
# never in the user's own ~/.wine.
# Usage: wine-run.sh --build <build folder> program.exe [arguments...]
set -e
if [ "${1:-}" = "--build" ]; then build=$2; shift 2; else build=${VELMORA_BUILD_DIR:?}; fi
export VELMORA_BUILD_DIR=$build
export WINEPREFIX=$build/wineprefix
# Wine names Unix files in the locale's character set: UTF-8, so that
# files with non-ASCII names are found whatever the caller's locale is.
export LC_ALL=C.UTF-8
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
