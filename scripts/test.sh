#!/usr/bin/env bash
# Every test: unit and end-to-end tests under AddressSanitizer/UBSan and under
# ThreadSanitizer, and the 32-bit Windows cross build of the plug-in with its export table
# checked and its test program run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
for preset in debug tsan mingw32; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

echo "== test: Windows plug-in exports"
scripts/check-dll-exports.sh build/mingw32/vaskel.dll
echo "== test: Windows plug-in under Wine"
scripts/wine-test.sh

for preset in debug tsan; do
  echo "== test: $preset"
  ctest --preset "$preset" -j "$jobs"
done
