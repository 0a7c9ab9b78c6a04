#!/usr/bin/env bash
# Builds the 32-bit Windows plug-in and packs it for integrators:
# build/release/vaskel-plugin-VERSION-win32.zip with the DLL (stripped), the install note and
# the licence (and the board emulator when it is built), and beside it
# vaskel-plugin-VERSION-win32-symbols.zip with the DLL's debug symbols, for reading a crash dump.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32 -j 2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw32/CMakeCache.txt)
if [ -z "$version" ]; then
  echo "release: no project version in build/mingw32/CMakeCache.txt" >&2
  exit 1
fi

name=vaskel-plugin-$version-win32
out=build/release
stage=$out/$name
symbols=$out/$name-symbols
rm -rf "$stage" "$symbols" "$out/$name.zip" "$out/$name-symbols.zip"
mkdir -p "$stage" "$symbols"

# The symbols go to their own file, linked from the DLL by name; the shipped DLL has none.
objcopy=i686-w64-mingw32-objcopy
cp build/mingw32/vaskel.dll "$symbols/vaskel.dll.debug"
"$objcopy" --only-keep-debug "$symbols/vaskel.dll.debug"
"$objcopy" --strip-all --add-gnu-debuglink="$symbols/vaskel.dll.debug" build/mingw32/vaskel.dll \
  "$stage/vaskel.dll"
if i686-w64-mingw32-objdump -h "$stage/vaskel.dll" | grep -q '\.debug_'; then
  echo "release: $stage/vaskel.dll still has debug sections" >&2
  exit 1
fi
scripts/check-dll-exports.sh "$stage/vaskel.dll"
# The version resource (UTF-16 strings) names this version.
if ! strings -el "$stage/vaskel.dll" | grep -qx "$version"; then
  echo "release: no version $version in the DLL's version resource" >&2
  exit 1
fi
if [ -f build/mingw32/vaskel-board.exe ]; then
  i686-w64-mingw32-strip -o "$stage/vaskel-board.exe" build/mingw32/vaskel-board.exe
fi
# Windows line ends for the texts, so Notepad shows them right; the note names its version.
sed "s/@VERSION@/$version/g; s/\$/\r/" packaging/INSTALL-win32.txt >"$stage/INSTALL.txt"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
(cd "$out" && cmake -E tar cf "$name-symbols.zip" --format=zip "$name-symbols")
echo "release: $out/$name.zip (symbols: $out/$name-symbols.zip)"
cmake -E tar tf "$out/$name.zip"
