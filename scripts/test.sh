#!/usr/bin/env bash
# Every test: unit and end-to-end tests under AddressSanitizer/UBSan and under
# ThreadSanitizer, the 32-bit Windows cross build of the plug-in with its export table
# checked and its test program run under Wine, and the USB HID paths (Linux, and the Windows
# DLL under Wine) in a guest kernel.
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
echo "== test: Windows release package (stripped DLL with its version resource)"
scripts/release.sh
echo "== test: Windows plug-in under Wine"
scripts/wine-test.sh

for preset in debug tsan; do
  echo "== test: $preset"
  ctest --preset "$preset" -j "$jobs"
done

# The real USB HID paths against the board as a USB device, in a guest kernel under QEMU: the
# Linux build over hidapi/hidraw, then the Windows DLL under Wine (a program a case, and a Wine
# started afresh after a case whose boards Wine still lists). Prints "N passed, N failed" and
# "windows: N passed, N failed"; any failure fails the run.
echo "== test: USB HID paths in a guest kernel"
scripts/usb-vm-test.sh

# The deterministic simulator under ASan/UBSan: the regression seeds run in CTest above; here
# fresh seeds (a new range every run) for a fixed budget.
echo "== chaos: fresh seeds"
first=$(( $(date +%s) % 100000000 * 1000 ))
# A failing fresh seed fails the run: its replay command is printed above, and the seed goes
# to sim/chaos/regression_seeds.txt with its fix.
if ! build/debug/vaskel-host chaos --seeds "$first..$((first + 1000000))" \
  --budget "${VASKEL_CHAOS_SECONDS:-120}"; then
  echo "chaos: fresh seeds failed (replay commands above)"
  exit 1
fi

# The fuzz targets under libFuzzer for a bounded time each, starting from the corpus kept in
# fuzz/corpus (new finds go to build/fuzz/corpus); a crash, leak or undefined behaviour fails
# the run. reply: the reply dispatcher and status handler; profile: the profile reader and
# writer; scenario: the scenario and machine-file parsers.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in reply profile scenario; do
  echo "== fuzz: $target"
  mkdir -p "build/fuzz/corpus/$target"
  # The reply target reads an input's first 32 operations only: bytes past them would take
  # mutations and change nothing.
  limits=()
  [ "$target" = reply ] && limits=(-max_len=1024)
  "build/fuzz/fuzz/vaskel_${target}_fuzzer" -max_total_time="${VASKEL_FUZZ_SECONDS:-60}" \
    "${limits[@]}" -print_final_stats=1 "build/fuzz/corpus/$target" "fuzz/corpus/$target"
done
