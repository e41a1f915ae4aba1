#!/usr/bin/env bash
# The service's added cost on a site of many simulated lines: the daemon's CPU
# time with the HTTP listener, API and metrics, and with the MQTT publisher
# (to a mosquitto started here, with a subscriber to everything), against the
# same site without them; and the time a /metrics scrape takes.
#   scripts/service-bench.sh [BUILD_DIR] [LINES] [SECONDS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
lines=${2:-64}
seconds=${3:-30}
work=$(mktemp -d)
sims=()
daemon=""
broker=""
sub=""
cleanup() {
  [ -n "$sub" ] && kill "$sub" 2>/dev/null || true
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
  [ -n "$broker" ] && kill "$broker" 2>/dev/null || true
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

for i in $(seq 1 "$lines"); do
  "$build/ravo3-sim" --quiet >"$work/sim$i.out" 2>/dev/null &
  sims+=($!)
done
for i in $(seq 1 "$lines"); do
  for _ in $(seq 1 100); do [ -s "$work/sim$i.out" ] && break; sleep 0.1; done
done
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
mport=$(free_port)

site() {  # $1: with the http section or not
  {
    echo '{"history_db": "'"$work"'/history.db",'
    [ "$1" = http ] && echo '"http": {"listen": "127.0.0.1:'"$port"'"},'
    [ "$1" = mqtt ] && echo '"mqtt": {"host": "127.0.0.1", "port": '"$mport"', "client_id": "bench"},'
    echo '"devices": ['
    for i in $(seq 1 "$lines"); do
      pty=$(head -1 "$work/sim$i.out")
      id=$((1000 + 10 * i))
      [ "$i" -gt 1 ] && echo ','
      echo '{"name": "line-'"$i"'", "port": "'"$pty"'", "driver": "'"$build"'/ravo3.so",
             "data_id": '"$id"', "acSetting": [{"data_id": '"$((id + 1))"'}],
             "dcSetting": [{"data_id": '"$((id + 2))"'}], "rcSetting": {}}'
    done
    echo ']}'
  } >"$work/site-$1.json"
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# CPU ticks of the daemon's threads named mqtt-* (the publisher's own two).
mqtt_ticks() {
  cat /proc/"$1"/task/*/stat 2>/dev/null |
    awk '/\(mqtt-/ {sub(/^.*\) /, ""); t += $12 + $13} END {print t + 0}'
}

# CPU seconds of the daemon over the window, after a warm-up; with http, a
# scrape and an API request every second (a busy Prometheus and dashboard).
measure() {
  rm -f "$work"/history.db*
  "$build/ravo3d" --config "$work/site-$1.json" >/dev/null 2>"$work/daemon-$1.log" &
  daemon=$!
  sleep 10
  local t0 c0 c1 t1
  t0=$(date +%s.%N); c0=$(cpu_ticks "$daemon"); m0=$(mqtt_ticks "$daemon")
  local end=$((SECONDS + seconds))
  while [ $SECONDS -lt $end ]; do
    if [ "$1" = http ]; then
      curl -s -o /dev/null "http://127.0.0.1:$port/metrics"
      curl -s -o /dev/null "http://127.0.0.1:$port/api/v1/values"
    fi
    sleep 1
  done
  c1=$(cpu_ticks "$daemon"); m1=$(mqtt_ticks "$daemon"); t1=$(date +%s.%N)
  cycles=$(grep -c . "$work/daemon-$1.log" || true)
  python3 -c "
ticks=$(getconf CLK_TCK); cpu=($c1-$c0)/ticks; wall=$t1-$t0
print('%-8s cpu %.2f s over %.1f s wall = %.2f%% of one core' % ('$1', cpu, wall, 100*cpu/wall))" | tee -a "$work/result"
  if [ "$1" = http ]; then
    for _ in $(seq 1 20); do
      curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$port/metrics"
    done | sort -n | awk '{a[NR]=$1} END {printf "scrape of /metrics, %d lines: median %.1f ms, max %.1f ms\n", '"$lines"', 1000*a[int((NR+1)/2)], 1000*a[NR]}'
    curl -s "http://127.0.0.1:$port/metrics" | wc -lc | awk '{printf "  %d samples and comments, %d bytes\n", $1, $2}'
    curl -s "http://127.0.0.1:$port/api/v1/devices" | python3 -c '
import json,sys; d=json.load(sys.stdin)["devices"]
print("  %d lines, %d answering, %d cycles in all" % (len(d), sum(x["line"]["state"]=="answering" for x in d), sum(x["cycles"] for x in d)))'
  fi
  if [ "$1" = mqtt ]; then
    python3 -c "
ticks=$(getconf CLK_TCK); print('  the publisher\'s own threads: %.2f%% of one core' % (100*($m1-$m0)/ticks/($t1-$t0)))"
    echo "  $(grep -c . "$work/sub.out") messages at the subscriber, $(grep -c '/events ' "$work/sub.out") alarm events"
  fi
  kill "$daemon"; wait "$daemon" 2>/dev/null || true; daemon=""
}

site plain
site http
site mqtt
measure plain
measure http
printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser %s\n' "$mport" "$(id -un)" >"$work/broker.conf"
/usr/sbin/mosquitto -c "$work/broker.conf" 2>"$work/broker.log" &
broker=$!
sleep 1
mosquitto_sub -p "$mport" -t '#' -v >"$work/sub.out" 2>/dev/null &
sub=$!
measure mqtt
python3 - "$work/result" <<'PY'
import re, sys
r = dict((l.split()[0], float(re.search(r"= ([\d.]+)%", l).group(1))) for l in open(sys.argv[1]))
print("added by HTTP, API and metrics: %.2f%% of one core" % (r["http"] - r["plain"]))
print("added by the MQTT publisher: %.2f%% of one core" % (r["mqtt"] - r["plain"]))
PY
