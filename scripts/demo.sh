#!/usr/bin/env bash
# The launcher's main job, end to end on this machine: builds the launcher,
# publishes a sample signed release on a local HTTPS server, makes a Steam
# installation with the game inside a private Wine prefix, and runs the real
# launcher under Wine against it with --console. Run it again: the second
# run finds everything current ("already up to date.").
# Usage: scripts/demo.sh [extra launcher arguments, e.g. --name Ann]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
demo=$here/build-demo

"$here/scripts/install-deps.sh"

# Where this machine runs no 32-bit programs, the demo runs the 64-bit build
# of the same launcher.
arch=$(bash "$here/cmake/test-arch.sh" "$demo" | head -1)
build=$demo/$arch
if [ "$arch" = x86_64 ] && [ "${VELMORA_TEST_ARCH:-}" = x86_64 ]; then
  echo "== VELMORA_TEST_ARCH=x86_64: the demo runs the 64-bit build of the launcher"
elif [ "$arch" = x86_64 ]; then
  echo "== this machine cannot run 32-bit Windows programs: the demo runs the 64-bit build of the launcher"
fi
echo "== building the launcher (test release key) in $build"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_TEST_ARCH="$arch" \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-$arch.cmake" >/dev/null
cmake --build "$build" --target VelmoraMultiplayer trust_test_ca steam_handler stand_in_game >/dev/null

run() { bash "$here/cmake/wine-run.sh" --build "$build" "$@"; }
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
bin=$build/tests/support/bin
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

echo "== preparing the Wine prefix $WINEPREFIX (the first time takes a little while)"
bash "$here/cmake/wine-prefix.sh" setup "$build" >/dev/null
bash "$here/tests/support/test-ca.sh" "$build" "$bin/trust-test-ca.exe" >/dev/null

state=$build/demo-server
cleanup() {
  python3 "$here/tests/support/release_server.py" stop --state "$state" >/dev/null 2>&1 || true
  bash "$here/cmake/wine-prefix.sh" cleanup "$build" >/dev/null 2>&1 || true
}
trap cleanup EXIT

echo "== publishing a sample signed release with tools/velmora-release.mjs"
src=$build/demo-release-files
mkdir -p "$src/bin" "$src/maps"
printf 'Velmora multiplayer mod, build 2.1.0\n' > "$src/bin/velmoramp.dll"
for map in harbour old-town; do
  python3 -c "import sys; sys.stdout.write(('$map ' * 40000))" > "$src/maps/$map.map"
done
printf 'Welcome to Velmora multiplayer.\n' > "$src/velmoramp-readme.txt"
mkdir -p "$state/root"
# The first run publishes the channel's first release; later runs count on.
sequence=
[ -f "$state/root/demo/stable/manifest.txt" ] || sequence="--sequence 1"
node "$here/tools/velmora-release.mjs" publish "$src" "$state/root/demo" \
  --key "$here/tests/support/keys/test-release-key.TEST-ONLY.pem" \
  --channel stable --build 2.1.0 --protocol 7 --server lobby.velmora-mp.net:27015 $sequence \
  --notes "Night shift maps and a new harbour" >/dev/null
python3 "$here/tests/support/release_server.py" start --state "$state" --tls "$build/test-ca" >/dev/null
port=$(cat "$state/https.port")
echo "   served at https://localhost:$port/demo"

echo "== making a Steam installation with the game inside the prefix"
drive_c=$WINEPREFIX/drive_c
mkdir -p "$drive_c/Steam/steamapps" "$drive_c/SteamLibrary/steamapps/common/Velmora"
cat > "$drive_c/Steam/steamapps/libraryfolders.vdf" <<'VDF'
"libraryfolders"
{
	"0"
	{
		"path"		"C:\\Steam"
	}
	"1"
	{
		"path"		"C:\\SteamLibrary"
	}
}
VDF
cp "$bin/Velmora.exe" "$drive_c/SteamLibrary/steamapps/common/Velmora/Velmora.exe"
run reg add 'HKCU\Software\Valve\Steam' /v SteamPath /t REG_SZ /d 'c:/steam' /f >/dev/null
# A stand-in for Steam's steam: handler that writes down what it is asked.
requests=$build/steam-requests.txt
rm -f "$requests"
run reg add 'HKLM\Software\Classes\steam' /ve /d 'URL:steam protocol' /f >/dev/null
run reg add 'HKLM\Software\Classes\steam' /v 'URL Protocol' /d '' /f >/dev/null
run reg add 'HKLM\Software\Classes\steam\shell\open\command' /ve \
  /d "\"$(winpath "$bin/steam-handler.exe")\" \"%1\"" /f >/dev/null
export VELMORA_STEAM_RECORD=$(winpath "$requests")

echo "== running the launcher"
echo "   VelmoraMultiplayer.exe --console --base-url https://localhost:$port/demo $*"
set +e
run "$build/VelmoraMultiplayer.exe" --console --base-url "https://localhost:$port/demo" "$@" | cat
status=${PIPESTATUS[0]}
set -e
echo "== the launcher ended with exit code $status"

game=$drive_c/SteamLibrary/steamapps/common/Velmora
if [ -f "$game/velmoramp.ini" ]; then
  echo "== hand-off file $(winpath "$game/velmoramp.ini" | sed 's/^Z:.*drive_c/C:/')"
  iconv -f UTF-16 -t UTF-8 "$game/velmoramp.ini" 2>/dev/null | sed 's/\r$//; s/^/   /' || cat "$game/velmoramp.ini"
fi
sleep 1
if [ -s "$requests" ]; then
  echo "== Steam was asked to open: $(cat "$requests")"
fi
exit "$status"
