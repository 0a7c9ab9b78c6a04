#!/usr/bin/env bash
# Runs SEEDS seeds of the deterministic simulator (release build) on every core and prints the
# rate. scripts/soak.sh 100000 [FIRST] [--minutes M]; failures are printed with their replay.
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:?usage: scripts/soak.sh SEEDS [FIRST] [vaskel-host chaos options]}
shift
first=1
if (($#)) && [[ $1 != -* ]]; then
  first=$1
  shift
fi

scripts/setup.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target vaskel-host >/dev/null

jobs=$(nproc)
per=$(((count + jobs - 1) / jobs))
out=$(mktemp -d)
start=$(date +%s.%N)
for ((j = 0; j < jobs; ++j)); do
  a=$((first + j * per))
  b=$((a + per - 1))
  last=$((first + count - 1))
  ((b > last)) && b=$last
  ((a > b)) && continue
  build/release/vaskel-host chaos --seeds "$a..$b" --no-shrink "$@" >"$out/$j.log" 2>&1 &
done
status=0
wait || status=1
end=$(date +%s.%N)
grep -h -A3 "FAILED" "$out"/*.log || true
passed=$(grep -h "^chaos:" "$out"/*.log | awk '{p += $2; n += $4} END {print p " of " n}')
rate=$(echo "$count / ($end - $start)" | bc -l)
printf 'soak: %s seeds passed on %d cores, %.1f seeds/s\n' "$passed" "$jobs" "$rate"
grep -q "FAILED" "$out"/*.log && status=1
rm -rf "$out"
exit $status
