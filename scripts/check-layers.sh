#!/usr/bin/env bash
# The floors of the tree, lowest first; a file may include its own floor and the ones below.
#   platform -> host -> device -> motion -> plugin -> sim, tests, bench, fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

floor() {
  case "$1" in
    platform/*) echo 0 ;;
    host/*) echo 1 ;;
    device/*) echo 2 ;;
    motion/*) echo 3 ;;
    plugin/*) echo 4 ;;
    sim/* | tests/* | bench/* | fuzz/*) echo 5 ;;
    *) echo "" ;;
  esac
}

status=0
while IFS= read -r file; do
  own=$(floor "$file")
  [ -n "$own" ] || continue
  while IFS= read -r inc; do
    target=$(floor "$inc")
    [ -n "$target" ] || continue
    if [ "$target" -gt "$own" ]; then
      echo "layering: $file includes $inc, which sits above it"
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files '*.h' '*.cpp' '*.rc')
[ "$status" -eq 0 ] && echo "layering: every include points down"
exit "$status"
