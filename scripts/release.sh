#!/usr/bin/env bash
# Builds the 32-bit Windows plug-in and packs it for integrators:
# build/release/vaskel-plugin-win32.zip with the DLL, the install note and the licence
# (and the board emulator when it is built).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32 -j 2
scripts/check-dll-exports.sh build/mingw32/vaskel.dll

name=vaskel-plugin-win32
out=build/release
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"
cp build/mingw32/vaskel.dll "$stage/"
if [ -f build/mingw32/vaskel-board.exe ]; then cp build/mingw32/vaskel-board.exe "$stage/"; fi
# Windows line ends for the texts, so Notepad shows them right.
sed 's/$/\r/' packaging/INSTALL-win32.txt >"$stage/INSTALL.txt"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "release: $out/$name.zip"
cmake -E tar tf "$out/$name.zip"
