#!/usr/bin/env bash
# Decides which architecture the test programs of a build folder run as:
# i686 where this machine runs 32-bit Windows programs under Wine, x86_64
# where it cannot (some kernels refuse every 32-bit program). The probe runs
# once per build folder; VELMORA_TEST_ARCH=i686|x86_64 forces either.
#
# Usage: test-arch.sh <build folder>
# Prints two lines: the architecture, then the reason in a few words.
set -uo pipefail
build=$1
mkdir -p "$build"
probe=$build/wine32-probe.txt

case ${VELMORA_TEST_ARCH:-} in
  i686|x86_64)
    echo "$VELMORA_TEST_ARCH"
    echo "forced by VELMORA_TEST_ARCH"
    exit 0 ;;
  "") ;;
  *)
    echo "VELMORA_TEST_ARCH must be i686 or x86_64, not '$VELMORA_TEST_ARCH'" >&2
    exit 2 ;;
esac

if [ ! -s "$probe" ]; then
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine32-probe.XXXXXX")
  trap 'WINEPREFIX=$scratch/prefix wineserver -k >/dev/null 2>&1; rm -rf "$scratch"' EXIT
  printf 'int main(void) { return 42; }\n' > "$scratch/probe.c"
  if ! i686-w64-mingw32-gcc -o "$scratch/probe.exe" "$scratch/probe.c" 2>"$scratch/cc.log"; then
    result="no: the i686 cross compiler could not build a probe"
  else
    # A prefix of its own: the probe must not leave anything in the tests'.
    # 60 s covers making the prefix; a machine that emulates 32-bit code
    # needs about a minute per process, which counts as "cannot" too.
    WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \
      timeout 60 wine "$scratch/probe.exe" </dev/null >"$scratch/run.log" 2>&1
    code=$?
    if [ "$code" -eq 42 ]; then
      result="yes"
    elif grep -q "Exec format error" "$scratch/run.log"; then
      result="no: the kernel refuses them (Exec format error)"
    elif [ "$code" -eq 124 ]; then
      result="no: a 32-bit probe did not end within 60 s"
    else
      result="no: a 32-bit probe ended with code $code"
    fi
  fi
  echo "$result" > "$probe"
fi

result=$(cat "$probe")
if [ "$result" = "yes" ]; then
  echo i686
  echo "this machine runs 32-bit Windows programs"
else
  echo x86_64
  echo "this machine cannot run 32-bit Windows programs: ${result#no: }"
fi
