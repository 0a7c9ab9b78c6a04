#!/usr/bin/env bash
# The main job: the substitute host runs the plug-in against the simulated board through a
# demo scenario, prints the summary and writes the trace (CSV) and its picture (SVG).
# Any other scenario: scripts/run-demo.sh path/to/file.scn
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
scenario=${1:-examples/demo.scn}
mkdir -p build/demo
name=$(basename "$scenario" .scn)
exec build/release/vaskel-host run "$scenario" --profile build/demo/profile.xml \
  --trace "build/demo/$name.csv" --svg "build/demo/$name.svg"
