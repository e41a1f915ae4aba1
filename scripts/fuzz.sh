#!/usr/bin/env bash
# Runs the fuzz targets with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) for SECONDS each and prints, per target, the
# executions, the coverage reached and the findings. Exit status 1 when any
# target found a crash, a broken invariant, a leak or a hang.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    default: 60 s, every fuzz/*_fuzz.cpp
#
# Targets are named as in fuzz/ without "_fuzz" (bus, frame, store, ...).
# JOBS targets run at once (default 2). New inputs go to
# build-fuzz/fuzz-run/TARGET/corpus, findings to .../findings; the checked-in
# corpus in fuzz/corpus/TARGET is read, never written. A finding that is fixed
# belongs in fuzz/corpus/TARGET so that every build replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
jobs=${JOBS:-2}
dir=${FUZZ_DIR:-build-fuzz}

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(find fuzz -maxdepth 1 -name '*_fuzz.cpp' -printf '%f\n' | sed 's/_fuzz\.cpp$//' | sort)
fi
binaries=()
for t in "${targets[@]}"; do binaries+=("${t}_fuzz"); done

CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVO3_FUZZ=ON \
  -DRAVO3_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$jobs" --target "${binaries[@]}" >/dev/null

run_one() {  # target
  local t=$1 work="$dir/fuzz-run/$1"
  mkdir -p "$work/corpus" "$work/findings"
  local status=0 dict=()
  # A target's dictionary (fuzz/TARGET.dict): words its input format needs.
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$dir/${t}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/findings/" "${dict[@]}" \
    "$work/corpus" "fuzz/corpus/$t" >"$work/log" 2>&1 || status=$?
  echo "$status" >"$work/status"
}

for t in "${targets[@]}"; do
  rm -f "$dir/fuzz-run/$t/status" "$dir/fuzz-run/$t/log"
  run_one "$t" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait

failed=0
summary="$dir/fuzz-summary.txt"
{
  printf '%-10s %8s %12s %8s %8s %8s %8s %9s\n' target seconds executions exec/s cov features corpus findings
  for t in "${targets[@]}"; do
    work="$dir/fuzz-run/$t"
    log="$work/log"
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
    corpus=$(find "$work/corpus" "fuzz/corpus/$t" -type f | wc -l)
    findings=$(find "$work/findings" -type f | wc -l)
    status=$(cat "$work/status" 2>/dev/null || echo 1)
    if [ "$findings" -gt 0 ] || [ "$status" != 0 ]; then failed=1; fi
    printf '%-10s %8s %12s %8s %8s %8s %8s %9s\n' "$t" "$seconds" "${execs:-?}" "${rate:-?}" \
      "${cov:-?}" "${ft:-?}" "$corpus" "$findings"
  done
} | tee "$summary"

if [ "$failed" != 0 ]; then
  for t in "${targets[@]}"; do
    work="$dir/fuzz-run/$t"
    if [ "$(cat "$work/status" 2>/dev/null || echo 1)" != 0 ]; then
      echo "== $t: exit status $(cat "$work/status" 2>/dev/null || echo '?'); the end of $work/log:"
      tail -40 "$work/log"
      ls "$work/findings"
    fi
  done
  exit 1
fi
