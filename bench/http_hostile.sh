#!/usr/bin/env bash
# The HTTP listener's goals, measured against the real daemon on loopback:
# one simulated line, ravo3d with its "http" section, then ravo3-http-bench:
# 50 MB of header lines (the answer, the daemon's memory), 500 idle and 100
# slowloris connections (reopened when closed) while /api/v1/values is asked,
# 1000 requests on new connections against one keep-alive connection.
#   bench/http_hostile.sh [BUILD_DIR] [extra ravo3-http-bench options]
# RAVO3D=PATH measures another build of the daemon (a comparison) with this
# build's simulator and driver.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
[ $# -gt 0 ] && shift
cmake --build "$build" -j2 --target ravo3d ravo3-sim ravo3-http-bench ravo3 >/dev/null
work=$(mktemp -d)
sim="" daemon=""
cleanup() {
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/ravo3-sim" --quiet >"$work/sim.out" 2>/dev/null &
sim=$!
for _ in $(seq 1 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
cat >"$work/site.json" <<JSON
{"history_db": "$work/history.db", "http": {"listen": "127.0.0.1:0"},
 "devices": [{"name": "site-1", "port": "$(head -1 "$work/sim.out")", "driver": "$build/ravo3.so",
              "data_id": 500, "acSetting": [{"data_id": 501}], "dcSetting": [{"data_id": 502}],
              "rcSetting": {}}]}
JSON
"${RAVO3D:-$build/ravo3d}" --config "$work/site.json" 2>"$work/daemon.log" &
daemon=$!
port=""
for _ in $(seq 1 100); do
  port=$(grep -o 'HTTP API on http://127.0.0.1:[0-9]*' "$work/daemon.log" | grep -o '[0-9]*$' || true)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/daemon.log"; exit 1; }
sleep 3  # a few cycles, so that /api/v1/values carries values
echo "ravo3d $daemon on port $port; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/ravo3-http-bench" "$port" "$daemon" "$@"
