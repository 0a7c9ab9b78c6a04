#!/usr/bin/env bash
# The main job: the substitute host runs the plug-in against the simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
exec build/release/vaskel-host "$@"
