# Sourced by the Wine scripts: the environment of the build folder's private
# prefix and the Wine loader that fits the folder's programs.
# Needs $build. Sets WINEPREFIX and friends, and the array wine_loader.
export WINEPREFIX=$build/wineprefix
# Wine names Unix files in the locale's character set: UTF-8, so that
# files with non-ASCII names are found whatever the caller's locale is.
export LC_ALL=C.UTF-8
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# A folder of 64-bit programs runs them through the 64-bit loader directly:
# Debian's wine wrapper picks the 32-bit one whenever wine32 is installed,
# and some machines cannot run 32-bit code at all.
if [ "$(cat "$build/wine-arch" 2>/dev/null)" = x86_64 ]; then
  export WINELOADER=/usr/lib/wine/wine64
  wine_loader=(/usr/lib/wine/wine64)
else
  wine_loader=(wine)
fi
