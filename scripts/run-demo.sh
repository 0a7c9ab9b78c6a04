#!/usr/bin/env bash
# The main job: the substitute host runs the plug-in against the simulated board through a
# demo scenario, prints the summary and writes the trace (CSV) and its picture (SVG).
# Any other scenario: scripts/run-demo.sh path/to/file.scn (relative to where you are).
# Installs and builds only what the demo needs; scripts/test.sh installs the rest.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD

scenario=${1:-$root/examples/demo.scn}
case $scenario in
  /*) ;;
  *) scenario=$caller/$scenario ;;
esac
if [ ! -f "$scenario" ]; then
  echo "run-demo: no scenario file $scenario" >&2
  exit 2
fi

scripts/setup.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)" --target vaskel-host
name=$(basename "$scenario" .scn)
out=build/demo
exec build/demo/vaskel-host run "$scenario" --profile "$out/profile.xml" \
  --trace "$out/$name.csv" --svg "$out/$name.svg"
