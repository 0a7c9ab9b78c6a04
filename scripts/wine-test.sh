#!/usr/bin/env bash
# Runs the 32-bit Windows plug-in under Wine: vaskel-wine-tests.exe loads build/mingw32's
# vaskel.dll and drives it with real window timers, in a fresh Wine prefix on a virtual X
# display. Installs Wine and Xvfb from Debian's packages when they are missing.
# Usage: scripts/wine-test.sh [--keep-prefix] [test program arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/mingw32
keep_prefix=0
if [ "${1:-}" = "--keep-prefix" ]; then
  keep_prefix=1
  shift
fi
if [ ! -f "$build/vaskel.dll" ] || [ ! -f "$build/vaskel-wine-tests.exe" ]; then
  echo "wine-test: $build has no vaskel.dll or vaskel-wine-tests.exe; build the mingw32 preset" >&2
  exit 1
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in wine wine32:i386 xvfb xauth imagemagick; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "wine-test: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

export WINEPREFIX="$PWD/$build/wine-prefix"
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would wait for a click.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p build/artifacts
fresh=1
if [ "$keep_prefix" -eq 1 ] && [ -f "$WINEPREFIX/system.reg" ]; then fresh=0; fi
if [ "$fresh" -eq 1 ]; then
  rm -rf "$WINEPREFIX"
  echo "wine-test: new prefix $WINEPREFIX"
fi

artifacts=build/artifacts
rm -f "$artifacts"/dialog*.bmp "$artifacts"/dialog*.png
# Wine's drive Z: is the root of the file system.
artifacts_win="Z:$(echo "$PWD/$artifacts" | tr / '\\')"

# Every Wine process runs inside the one X session (a Wine desktop started without a display
# would stay without one), and all of them end before the display goes.
timeout 30 wineserver -k >/dev/null 2>&1 || true  # one left from an earlier run
status=0
timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  if [ "$0" -eq 1 ]; then
    timeout 240 wineboot -i >/dev/null 2>&1 || { echo "wine-test: wineboot failed" >&2; exit 1; }
  fi
  timeout 300 wine "$@"
  rc=$?
  timeout 30 wineserver -k >/dev/null 2>&1
  exit $rc' \
  "$fresh" "$build/vaskel-wine-tests.exe" --artifacts "$artifacts_win" "$@" || status=$?

# The dialog's screenshots as PNG, kept as CI artefacts.
for bmp in "$artifacts"/dialog*.bmp; do
  [ -f "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
if [ "$status" -eq 124 ]; then echo "wine-test: timed out" >&2; fi
exit "$status"
