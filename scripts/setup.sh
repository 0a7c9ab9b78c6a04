#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the plug-in. Safe to re-run.
#   scripts/setup.sh [vm]   vm: also what the USB guest test boots (QEMU, a kernel, busybox) and
#                           what it runs there: 32-bit Wine with its udev library, Xvfb, udevd
#   scripts/setup.sh demo   only what scripts/run-demo.sh builds with
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config git
  libhidapi-dev libpugixml-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-tools
  clang libclang-rt-14-dev
)
if [ "${1:-}" = demo ]; then
  packages=(cmake ninja-build g++ pkg-config libhidapi-dev libpugixml-dev)
fi
if [ "${1:-}" = vm ]; then
  packages+=(qemu-system-x86 linux-image-amd64 busybox-static
    wine wine32:i386 libwine:i386 libudev1:i386 xvfb xauth udev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
