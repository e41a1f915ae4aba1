#!/usr/bin/env bash
# History at any size. For databases of DAYS days of LINES typical lines
# (2-second cycles, built straight into the file by ravo3-history-bench): the
# file's size per device and day, the writer's cost per record at the file's
# retention, the daemon's start-up to its first HTTP answer, and the latency
# of history pages and 24-hour plots through its API.
#
#   bench/history_store.sh [BUILD_DIR] [LINES] [DAYS...]     default: build 16 1 7 30
#   bench/history_store.sh cpu [BUILD_DIR] [LINES] [SECONDS]  default: build 64 30
#
# LAYOUT=rows builds the files in the first layout (one row per record), for
# the daemon of an older build given as BUILD_DIR; the tool that builds the
# files comes from TOOL_DIR (default: build). `cpu` runs the daemon on LINES
# simulated lines for SECONDS after a 10 s warm-up, on a new file and on one
# at its retention ("history_days": 1 and a day of LINES lines; LAYOUT=rows:
# the first layout's default of 100000 rows), and reads its CPU time.
# PAGES and PLOTS set how many pages and plots are timed (default 200 and 50).
# Scratch files go to WORK (default: a new folder under /var/tmp).
set -euo pipefail

mode=store
if [ "${1:-}" = cpu ]; then
  mode=cpu
  shift
fi
build=$(cd "${1:-build}" && pwd)
tool=$(cd "${TOOL_DIR:-build}" && pwd)/ravo3-history-bench
layout=${LAYOUT:-packed}
work=${WORK:-$(mktemp -d /var/tmp/ravo3-history-XXXXXX)}
mkdir -p "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now_s() { date +%s.%N; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
# The daemon's CPU ms per request between two readings of its ticks.
cpu_per() { awk -v a="$1" -v b="$2" -v n="$3" -v hz="$hz" 'BEGIN {printf "%.1f", (b - a) * 1000 / hz / n}'; }
# p50 / p99 / max of the numbers on standard input, in ms.
stats() {
  sort -n | awk '{v[NR] = $1 * 1000} END {
    if (NR == 0) { print "-"; exit }
    m = int(NR * 0.5 + 0.5); p = int(NR * 0.99 + 0.5); if (m < 1) m = 1; if (p < 1) p = 1
    printf "%.1f / %.1f / %.1f", v[m], v[p], v[NR] }'
}
end_time=$(date '+%Y-%m-%d %H:%M:00')

# A site file: LINES devices with the tool's data ids; $1 database, $2 port,
# $3 "history_days", $4 a folder of simulator outputs (empty: no ports).
site() {
  local lines=$5
  {
    echo '{"history_db": "'"$1"'", "http": {"listen": "127.0.0.1:'"$2"'"},'
    # An older build knows no "history_days".
    if [ "$layout" = packed ]; then echo '"history_days": '"$3"','; fi
    echo '"devices": ['
    for i in $(seq 1 "$lines"); do
      local id=$((1000 + 10 * i)) port="/nonexistent/tty$i"
      [ -n "$4" ] && port=$(head -1 "$4/sim$i.out")
      [ "$i" -gt 1 ] && echo ','
      echo '{"name": "line-'"$i"'", "port": "'"$port"'", "driver": "'"$build"'/ravo3.so",
             "data_id": '"$id"', "acSetting": [{"data_id": '"$((id + 1))"'}],
             "dcSetting": [{"data_id": '"$((id + 2))"'}], "rcSetting": {}}'
    done
    echo ']}'
  }
}

if [ "$mode" = store ]; then
  shift || true
  lines=${1:-16}
  shift || true
  days=("$@")
  [ ${#days[@]} -eq 0 ] && days=(1 7 30)
  echo "layout $layout, $lines lines, files in $work; daemon of $build"
  printf '%-5s %-10s %-7s %-14s %-16s %-11s %-22s %-9s %-24s %s\n' days records "MB" \
    "MB/device-day" "write µs/record" "start-up s" "page ms p50/p99/max" "page CPU" \
    "24-h plot ms p50/p99/max" "plot CPU ms"
  for d in "${days[@]}"; do
    db="$work/h$d.db"
    rm -f "$db" "$db-wal" "$db-shm" "$db.lock"
    fill=$("$tool" fill --db "$db" --days "$d" --lines "$lines" --layout "$layout" --end "$end_time")
    records=$(echo "$fill" | awk '{print $2}')
    bytes=$(stat -c %s "$db")
    mb=$(awk -v b="$bytes" 'BEGIN {printf "%.0f", b / 1048576}')
    per=$(awk -v b="$bytes" -v l="$lines" -v d="$d" 'BEGIN {printf "%.2f", b / 1048576 / l / d}')
    # The daemon: start-up to the first answer, then pages and plots.
    port=$(free_port)
    site "$db" "$port" "$d" "" "$lines" >"$work/site.json"
    t0=$(now_s)
    "$build/ravo3d" --config "$work/site.json" 2>"$work/daemon.log" &
    pid=$!
    pids+=("$pid")
    until [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/api/v1/devices")" = 200 ]; do
      sleep 0.01
    done
    t1=$(now_s)
    startup=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')
    span=$((d * 86400))
    end_epoch=$(date -d "$end_time" +%s)
    : >"$work/page.txt"
    : >"$work/plot.txt"
    c0=$(cpu_ticks "$pid")
    for i in $(seq 1 "${PAGES:-200}"); do
      unit=$((1000 + 10 * (RANDOM % lines + 1) + RANDOM % 3))
      from=$(date -d "@$((end_epoch - span + RANDOM * span / 32768))" '+%Y-%m-%dT%H:%M:%S')
      curl -s -o /dev/null -w '%{time_total}\n' \
        "http://127.0.0.1:$port/api/v1/history?data_id=$unit&from=$from&limit=500" >>"$work/page.txt"
    done
    c1=$(cpu_ticks "$pid")
    for i in $(seq 1 "${PLOTS:-50}"); do
      # As the dashboard asks: a rectifier's group and module values.
      kind=$((RANDOM % 3))
      unit=$((1000 + 10 * (RANDOM % lines + 1) + kind))
      names=""
      [ "$kind" = 0 ] && names="&names=group_value,module_*_value"
      from=$(date -d "@$((end_epoch - 86400))" '+%Y-%m-%dT%H:%M:%S')
      to=$(date -d "@$end_epoch" '+%Y-%m-%dT%H:%M:%S')
      curl -s -o /dev/null -w '%{time_total}\n' \
        "http://127.0.0.1:$port/api/v1/history?data_id=$unit&from=$from&to=$to&points=2000$names" \
        >>"$work/plot.txt"
    done
    c2=$(cpu_ticks "$pid")
    kill "$pid"
    wait "$pid" || true
    pids=()
    write="-"
    if [ "$layout" = packed ]; then
      write=$("$tool" write --db "$db" --lines "$lines" --minutes 5 --days "$d" --end "$end_time" |
        awk '{for (i = 1; i < NF; i++) if ($i == "cpu_us_per_record") print $(i + 1)}')
    fi
    printf '%-5s %-10s %-7s %-14s %-16s %-11s %-22s %-9s %-24s %s\n' "$d" "$records" "$mb" \
      "$per" "$write" "$startup" "$(stats <"$work/page.txt")" \
      "$(cpu_per "$c0" "$c1" "${PAGES:-200}")" "$(stats <"$work/plot.txt")" \
      "$(cpu_per "$c1" "$c2" "${PLOTS:-50}")"
    rm -f "$db" "$db-wal" "$db-shm" "$db.lock"
  done
  exit 0
fi

# cpu: the daemon's CPU with LINES simulated lines, on a new file and on one at its retention.
lines=${2:-64}
seconds=${3:-30}
for i in $(seq 1 "$lines"); do
  "$build/ravo3-sim" --quiet >"$work/sim$i.out" 2>/dev/null &
  pids+=($!)
done
for i in $(seq 1 "$lines"); do
  for _ in $(seq 1 100); do [ -s "$work/sim$i.out" ] && break; sleep 0.1; done
done
echo "layout $layout, $lines simulated lines, ${seconds} s after 10 s; daemon of $build"
for state in new full; do
  db="$work/cpu-$state.db"
  rm -f "$db" "$db-wal" "$db-shm" "$db.lock"
  days=1
  if [ "$state" = full ]; then
    if [ "$layout" = packed ]; then
      "$tool" fill --db "$db" --days 1 --lines "$lines" --layout packed --end "$end_time" >/dev/null
    else
      # The first layout's default retention, 100000 rows: a little more, which
      # the daemon's first write trims.
      "$tool" fill --db "$db" --days 0 --minutes $((100000 / (lines * 90) + 1)) --lines "$lines" \
        --layout rows --end "$end_time" >/dev/null
    fi
  fi
  port=$(free_port)
  site "$db" "$port" "$days" "$work" "$lines" >"$work/site-cpu.json"
  "$build/ravo3d" --config "$work/site-cpu.json" 2>"$work/daemon-cpu.log" &
  pid=$!
  sleep 10
  a=$(cpu_ticks "$pid")
  sleep "$seconds"
  b=$(cpu_ticks "$pid")
  written=$(curl -s "http://127.0.0.1:$port/metrics" | awk '/^ravo3_history_records_written_total/ {print $2}')
  kill "$pid"
  wait "$pid" || true
  echo "$state: $(awk -v a="$a" -v b="$b" -v s="$seconds" -v hz="$hz" 'BEGIN {printf "%.2f", (b - a) / hz / s * 100}') % of one core${written:+, $written records written}"
done
