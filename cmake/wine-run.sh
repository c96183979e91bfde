#!/usr/bin/env bash
# Runs a Windows program under Wine in the build folder's private prefix,
# never in the user's own ~/.wine.
# Usage: wine-run.sh --build <build folder> program.exe [arguments...]
set -e
if [ "${1:-}" = "--build" ]; then build=$2; shift 2; else build=${VELMORA_BUILD_DIR:?}; fi
export VELMORA_BUILD_DIR=$build
. "$(dirname "$0")/wine-env.sh"
exec "${wine_loader[@]}" "$@"
