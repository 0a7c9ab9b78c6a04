#!/usr/bin/env bash
# The plug-in's real USB HID paths, end to end, without hardware: boots the machine's own
# Debian kernel under QEMU with a busybox initramfs, mounts this machine's root read-only inside
# the guest, and runs the USB tests there. Each test serves the board simulator as a USB/IP
# device that the guest's kernel imports through vhci-hcd, so the plug-in finds it like a board
# on a cable: the Linux build over hidapi/hidraw (vaskel_usb_tests), then the 32-bit Windows
# library under Wine, through SetupDi/HidD and overlapped I/O (vaskel-wine-tests.exe, one case a
# program, scripts/usb-vm-wine-cases.sh), against vaskel-board --usbip --attach programs that
# this script starts, unplugs and stalls on the Windows program's requests. With --bench, the link's figures on both paths
# afterwards (no test; minutes of Wine under TCG, so not in CI).
# Prints "N passed, N failed" for the Linux cases and "windows: N passed, N failed" for the
# Windows ones; exits non-zero when a test failed or the guest did not finish.
#
#   scripts/usb-vm-test.sh [--linux-only] [--bench] [GTEST_ARGS...]   e.g. --gtest_filter='*Unplug*'
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
wine=1
bench=0
while [ $# -gt 0 ]; do
  case $1 in
    --linux-only) wine=0 ;;
    --wine) wine=1 ;;  # the default, for older command lines
    --bench) bench=1 ;;
    *) break ;;
  esac
  shift
done
test_args=$(printf ' %q' "$@")
started=$(date +%s.%N)

scripts/setup.sh vm

# Non-sanitized binaries: the guest has 512 MB and emulated CPUs.
echo "== build: release (plug-in, board, USB tests and figures)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" \
  --target vaskel vaskel-board vaskel-host vaskel_usb_tests vaskel-usb-bench

state=build/usb-vm
mkdir -p "$state"
prefix=$root/$state/wine-prefix
virtfs_wine=()
if [ "$wine" -eq 1 ]; then
  echo "== build: mingw32 (library, Windows test program)"
  cmake --preset mingw32 >/dev/null
  cmake --build --preset mingw32 -j "$(nproc)" --target vaskel vaskel-wine-tests
  # The prefix is made here, natively; the guest writes to it through its own share. Wine 8's
  # winebus starts its udev (hidraw) backend only with its SDL backend off.
  export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${VASKEL_WINEDEBUG:--all} \
    WINEDLLOVERRIDES="mscoree,mshtml="
  if ! grep -qs '"Enable SDL"=dword:00000000' "$prefix/system.reg"; then
    echo "== wine prefix: $prefix"
    rm -rf "$prefix"
    timeout 300 xvfb-run -a sh -c 'wineboot -i && wineserver -w' >/dev/null 2>&1
    timeout 120 wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
      /v "Enable SDL" /t REG_DWORD /d 0 /f >/dev/null 2>&1
    timeout 60 wineserver -w  # system.reg written before the guest reads it
    grep -qs '"Enable SDL"=dword:00000000' "$prefix/system.reg" ||
      { echo "usb-vm: the Wine prefix did not take the winebus setting" >&2; exit 1; }
  fi
  unset WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
  virtfs_wine=(-virtfs "local,path=$prefix,mount_tag=wineprefix,security_model=none,multidevs=remap")
fi

# What the guest runs, from this machine's root.
cat >"$state/guest.sh" <<GUEST
#!/bin/bash
cd "$root"
build/release/tests/vaskel_usb_tests $test_args 2>&1 | tee /tmp/linux.log
status=\${PIPESTATUS[0]}
echo "usb-vm: linux: \$(grep -aE '^[0-9]+ passed, [0-9]+ failed' /tmp/linux.log | tail -1)"
[ $bench -eq 0 ] || build/release/bench/vaskel-usb-bench || echo "usb-vm: the Linux figures failed"
[ $wine -eq 1 ] || exit \$status
windows=0
. "$root/scripts/usb-vm-boards.sh"
# Wine learns of boards plugged in and out from udevd's rebroadcast; the shared root's /run is
# read-only, and udevadm does nothing in a chroot unless told to.
mount -t tmpfs run /run && mkdir -p /run/udev
export SYSTEMD_IGNORE_CHROOT=1
/lib/systemd/systemd-udevd --daemon --resolve-names=never
udevadm trigger --action=add
udevadm settle -t 120
# Sections that Wine reads rather than maps can come back short over 9p: run from tmpfs.
mkdir -p /tmp/win /tmp/usb-vm
cp build/mingw32/vaskel-wine-tests.exe build/mingw32/vaskel.dll /tmp/win/
rm -f $prefix/drive_c/users/*/Temp/vaskel-wine-tests/usb-link-*.log
begun=\$(cut -d' ' -f1 /proc/uptime)
cases=\$(sed -nE 's/^WINE_TEST\((Usb[A-Za-z0-9_]*)\).*/\1/p' tests/wine/usb_hid_test.cpp)
WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${VASKEL_WINEDEBUG:--all} \\
  WINEDLLOVERRIDES="mscoree,mshtml=,winedbg.exe=d" VASKEL_WINE_USB_BOARD=1 \\
  timeout 2400 xvfb-run -a scripts/usb-vm-wine-cases.sh /tmp/usb-vm $bench \$cases 2>&1 |
  serve_board_requests /tmp/usb-vm | tee /tmp/windows.log
# Kept for CI's artefacts: the guest's /tmp goes with it, the prefix's share stays.
rm -rf $prefix/usb-vm-logs && mkdir -p $prefix/usb-vm-logs
cp -r /tmp/usb-vm/board-*.log /tmp/usb-vm/case-* /tmp/windows.log \
  $prefix/drive_c/users/*/Temp/vaskel-wine-tests/usb-link-*.log $prefix/usb-vm-logs/ 2>/dev/null
echo "usb-vm: wine took \$(echo "\$(cut -d' ' -f1 /proc/uptime) \$begun" | awk '{print \$1 - \$2}') s"
grep -a 'StopPlug returned in' /tmp/windows.log | tr -d '\r' | awk '{ms = \$4; n++; sum += ms
    if (n == 1 || ms < lo) lo = ms; if (ms > hi) hi = ms}
  END {if (n) printf "usb-vm: windows StopPlug %d to %d ms (%d calls, mean %.0f)\\n", lo, hi, n, sum / n}'
total=\$(echo \$cases | wc -w)
passed=\$(grep -acE '^usb-vm: windows case [A-Za-z0-9_]+ passed' /tmp/windows.log)
ok=\$(grep -acE '^\\[ OK   \\] Usb' /tmp/windows.log)  # a case that ran, not just an exit 0
[ \$ok -ge \$passed ] || passed=\$ok
echo "usb-vm: windows: \$passed passed, \$((total - passed)) failed"
[ \$total -gt 0 ] && [ \$passed -eq \$total ] || windows=1
[ \$status -eq 0 ] && [ \$windows -eq 0 ]
GUEST
chmod +x "$state/guest.sh"

kernel=$(ls /boot/vmlinuz-* | sort -V | tail -1)
version=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$version
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
initrd=$work/initrd

# The modules and what each needs, in load order (modules.dep lists a module's needs with the
# deepest last).
wanted="virtio_pci 9pnet_virtio 9p vhci-hcd usbhid hid-generic"
declare -A loaded=()
order=()
load() {
  local name=$1 path deps dep
  path=$(grep -E "(^|/)${name}\.ko(\.[a-z]+)?:" "$modules/modules.dep" | head -1 | cut -d: -f1)
  [ -n "$path" ] || { echo "usb-vm: module $name not in $modules" >&2; exit 1; }
  [ -z "${loaded[$path]:-}" ] || return 0
  deps=$(grep -E "^${path}:" "$modules/modules.dep" | cut -d: -f2)
  for dep in $(echo "$deps" | tr ' ' '\n' | tac); do
    load "$(basename "$dep" | sed -E 's/\.ko(\.[a-z]+)?$//')"
  done
  loaded[$path]=1
  order+=("$path")
}
for m in $wanted; do load "$m"; done

mkdir -p "$initrd"/{bin,dev,proc,sys,host,modules}
cp /bin/busybox "$initrd/bin/busybox"
for path in "${order[@]}"; do
  case $path in
    *.ko.xz) xz -dc "$modules/$path" >"$initrd/modules/$(basename "${path%.xz}")" ;;
    *.ko.zst) zstd -dcq "$modules/$path" >"$initrd/modules/$(basename "${path%.zst}")" ;;
    *) cp "$modules/$path" "$initrd/modules/" ;;
  esac
  basename "$path" | sed -E 's/\.(xz|zst)$//' >>"$initrd/modules/order"
done

cat >"$initrd/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in \$(cat /modules/order); do insmod /modules/\$m || echo "usb-vm: insmod \$m failed"; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /host || echo "usb-vm: no host root"
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mount -t tmpfs tmp /host/tmp
# The checkout comes over a share of its own: under /tmp it would be hidden by the tmpfs above.
mkdir -p "/host$root" 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 repo "/host$root" || echo "usb-vm: no checkout"
[ $wine -eq 0 ] || mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 wineprefix "/host$prefix"
ifconfig lo 127.0.0.1 up
echo "usb-vm: guest up after \$(cut -d' ' -f1 /proc/uptime) s"
chroot /host /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp ${VASKEL_USB_TRACE:+VASKEL_USB_TRACE=1} "$root/$state/guest.sh"
echo "usb-vm: exit \$? after \$(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
INIT
chmod +x "$initrd/init"
(cd "$initrd" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")

# Wine's 32-bit code returns from its handlers with IRET; TCG faults that on the user stack
# when SMAP is on, so the Wine run goes without it.
cpu=max
[ "$wine" -eq 0 ] || cpu=max,-smap
echo "== guest: $kernel"
log=$work/console.log
set +e
timeout $((wine ? 3000 : 300)) qemu-system-x86_64 -accel tcg -cpu "$cpu" -m 512 -smp 2 -nographic -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$root,mount_tag=repo,security_model=none,readonly=on,multidevs=remap" \
  "${virtfs_wine[@]}" \
  </dev/null 2>&1 | tee "$log"
set -e

ended=$(date +%s.%N)
if [ -d "$prefix/usb-vm-logs" ]; then
  rm -rf build/artifacts/usb-vm && mkdir -p build/artifacts
  mv "$prefix/usb-vm-logs" build/artifacts/usb-vm
fi
linux=$(grep -aE '^usb-vm: linux: [0-9]+ passed, [0-9]+ failed' "$log" | tail -1 | tr -d '\r' ||
  true)
windows=$(grep -aE '^usb-vm: windows: [0-9]+ passed, [0-9]+ failed' "$log" | tail -1 | tr -d '\r' ||
  true)
status=$(grep -aE '^usb-vm: exit [0-9]+' "$log" | tail -1 | awk '{print $3}' || true)
awk "BEGIN{printf \"usb-vm: script took %.1f s\\n\", $ended - $started}"
grep -a '^bench: ' "$log" | tr -d '\r' || true
if [ -z "$linux" ] || [ -z "$status" ]; then
  echo "usb-vm: the guest did not finish"
  echo "0 passed, 1 failed"
  [ "$wine" -eq 0 ] || echo "windows: 0 passed, 1 failed"
  exit 1
fi
echo "${linux#usb-vm: linux: }"
if [ "$wine" -eq 1 ]; then
  windows=${windows#usb-vm: windows: }
  echo "windows: ${windows:-0 passed, 1 failed}"
fi
[ "$status" = 0 ]
