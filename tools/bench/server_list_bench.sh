#!/usr/bin/env bash
# Prints how long parsing and reading a list of 10,000 servers takes, and
# fetching one from the stand-in list service on loopback, under Wine in the
# build folder's own prefix. Figures only; nothing is asserted.
# Usage: tools/bench/server_list_bench.sh [build folder]   (default: build)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
cmake --build "$build" --target server_list_bench >/dev/null

state=$(mktemp -d)
service="python3 $source_dir/tests/support/list_service.py"
files="--port-file $state/port --pid-file $state/pid"
trap '$service stop $files >/dev/null; rm -rf "$state"' EXIT
$service start $files --max-seconds 300 >/dev/null
port=$(cat "$state/port")

"$source_dir/cmake/wine-run.sh" --build "$build" "$build/tools/bench/server-list-bench.exe" \
  "http://127.0.0.1:$port/generate?count=10000&seed=1"
