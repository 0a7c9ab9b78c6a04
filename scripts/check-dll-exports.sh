#!/usr/bin/env bash
# Checks that the Windows plug-in exports exactly the host's entry points and the four
# registration functions, by their plain names, and nothing else.
# Usage: scripts/check-dll-exports.sh [path/to/vaskel.dll]
set -euo pipefail
cd "$(dirname "$0")/.."

dll=${1:-build/mingw32/vaskel.dll}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
if [ ! -f "$dll" ]; then
  echo "check-dll-exports: $dll not found; build the mingw32 preset" >&2
  exit 1
fi

expected=(
  SetProName InitControl PostInitControl Update Notify DoDwell JogOn JogOff Home Probe Purge
  Reset Config StopPlug SetDoButton SetSetDRO SetGetDRO SetGetLED SetSetLED SetCode
  DllRegisterServer DllUnregisterServer DllGetClassObject DllCanUnloadNow
)

# The name pointer table lists one "[ n] Name" line per exported name.
actual=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
want=$(printf '%s\n' "${expected[@]}" | sort)

if [ "$actual" != "$want" ]; then
  echo "check-dll-exports: $dll exports differ (< expected, > actual):" >&2
  diff <(echo "$want") <(echo "$actual") >&2 || true
  exit 1
fi
echo "check-dll-exports: $(echo "$actual" | wc -l) exports, as expected"
