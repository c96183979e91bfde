#!/usr/bin/env bash
# Installs what building and testing the launcher needs on Debian/Ubuntu.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

need_root() { if [ "$(id -u)" -ne 0 ]; then echo sudo; fi; }
SUDO=$(need_root)

packages=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64
          xvfb xauth xdotool openssl osslsigncode python3 curl googletest g++ clang-format clang-tidy
          chromium ca-certificates libz-mingw-w64-dev nginx-light)
# Node.js may come from elsewhere than Debian (its own npm included): ask for
# the Debian packages only when the commands are missing.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  missing+=(wine32:i386)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in mid-sync can fail one index; the rest are still fresh, so
  # retry a little and then go on: the install itself says what it lacks.
  for attempt in 1 2 3; do
    if $SUDO apt-get update -qq; then break; fi
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -lt 3 ] && sleep 5
  done
  if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    # The 32-bit packages must match the 64-bit ones' versions exactly, so a
    # stale i386 index breaks only them. Without them the tests run as
    # x86_64 (cmake/test-arch.sh), which is better than no tests at all.
    rest=()
    for p in "${missing[@]}"; do [[ $p == *:i386 ]] || rest+=("$p"); done
    echo "the install failed; trying again without the 32-bit packages" >&2
    $SUDO apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null
  fi
fi
