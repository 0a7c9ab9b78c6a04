#!/usr/bin/env bash
# Every test: unit and end-to-end tests under AddressSanitizer/UBSan and under
# ThreadSanitizer, the 32-bit Windows cross build of the plug-in with its export table
# checked and its test program run under Wine, and the Linux USB HID path in a guest kernel.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== check: include layering"
scripts/check-layers.sh

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

# The real USB HID path: hidapi over hidraw against the board as a USB device, in a guest
# kernel under QEMU.
echo "== test: USB HID path in a guest kernel"
scripts/usb-vm-test.sh

# The reply dispatcher and status handler under libFuzzer for a bounded time; a crash, leak or
# undefined behaviour fails the run.
echo "== fuzz: reply dispatcher"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
mkdir -p build/fuzz/corpus
build/fuzz/fuzz/vaskel_reply_fuzzer -max_total_time="${VASKEL_FUZZ_SECONDS:-60}" \
  -print_final_stats=1 build/fuzz/corpus
