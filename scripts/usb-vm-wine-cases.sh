#!/usr/bin/env bash
# Run by the guest of scripts/usb-vm-test.sh, on a virtual display, with the Wine prefix in the
# environment: each Windows USB case as a program of its own, then (with BENCH 1) the link's
# figures. Wine's HID bus takes a removed board out of its list late, and once listed a removed
# pair for over a minute while a board plugged in after them was never offered. After a case
# that failed, or that left the mark DIR/system-lists-removed-boards (the system still listed
# its boards 15 s after their removal), the next case runs in a Wine started afresh, which
# reads the boards plugged in now from udev. Otherwise Wine's server, and with it its device
# drivers, stays up between cases: its start takes minutes on an emulated CPU.
# Its output goes through serve_board_requests (scripts/usb-vm-boards.sh), which carries out
# the requests printed here and by the cases.
#
#   usb-vm-wine-cases.sh DIR BENCH CASE...   DIR: where the answers to requests appear
set -u
dir=$1
bench=$2
shift 2
exe=/tmp/win/vaskel-wine-tests.exe

uptime_s() { cut -d' ' -f1 /proc/uptime; }
since() { awk "BEGIN{printf \"%.1f\", $(uptime_s) - $1}"; }

# Every Wine process ended, and with them Wine's view of the devices; the next server stays up
# while no program runs.
fresh_wine() {
  local begun
  begun=$(uptime_s)
  wineserver -k 2>/dev/null
  wineserver -w
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit 0 >/dev/null 2>&1  # Wine's services and drivers, started once
  echo "usb-vm: wine started afresh in $(since "$begun") s"
}

# No board left behind by a case that ended without stopping its boards (a crash, a time-out).
requests=0
stop_boards() {
  local id="wine-cases-$((++requests))" end=$(($(date +%s) + 120))
  echo "usb-vm: request $id stop"
  until [ -e "$dir/done-$id" ] || [ "$(date +%s)" -ge "$end" ]; do sleep 0.1; done
}

fresh_wine
last=${!#}
for name in "$@"; do
  begun=$(uptime_s)
  rm -f "$dir/system-lists-removed-boards"
  # Each board may take a minute to be offered, StopPlug up to 10 s. Straight into the pipe:
  # a Wine process the program starts may hold its output open after it ends.
  timeout 600 wine "$exe" --filter "$name" 2>&1
  status=$?
  verdict=passed
  [ "$status" -eq 0 ] || verdict=failed
  echo "usb-vm: windows case $name $verdict (exit $status) in $(since "$begun") s"
  stop_boards
  [ "$name" != "$last" ] || [ "$bench" -eq 1 ] || break
  if [ $verdict = failed ] || [ -e "$dir/system-lists-removed-boards" ]; then
    fresh_wine
  fi
done

if [ "$bench" -eq 1 ]; then
  timeout 600 wine "$exe" --usb-bench || echo "usb-vm: the Windows figures failed"
  stop_boards
fi
wineserver -k 2>/dev/null
wineserver -w
