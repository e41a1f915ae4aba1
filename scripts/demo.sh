#!/usr/bin/env bash
# Main job: builds everything and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-2}"
mkdir -p build/demo
# A short demo against simulated units that ends by itself; pass other options (see
# --help) to change it.
if [ $# -eq 0 ]; then set -- --cycles 12 --db build/demo/history.db --driver-log build/demo/driver-output.log; fi
exec ./build/ravo3-monitor --config examples/site.json --simulate "$@"
