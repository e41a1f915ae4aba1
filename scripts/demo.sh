#!/usr/bin/env bash
# Main job: builds everything and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-2}"
exec ./build/ravo3-smoke "$@"
