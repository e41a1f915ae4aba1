#!/bin/sh
# Line-rate and scale figures: builds in Release (its own build directory),
# runs the host against simulators that pace both directions at 9600 baud 8N1
# on pseudo-terminals, and writes the results into docs/PERFORMANCE.md between
# the line-rate markers. One run takes about ten minutes on two cores.
#
#   bench/line_rate.sh [build-dir]        (default: build-line-rate)
#   SECONDS_PER_RUN=20 bench/line_rate.sh  (measuring window of each run)
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-line-rate}
secs=${SECONDS_PER_RUN:-24}
doc=docs/PERFORMANCE.md

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ravo3 ravo3-sim ravo3-line-rate cycle_bench >/dev/null

# Only the result rows: the decoders write their own lines to standard output.
run() {
    "$build/ravo3-line-rate" --sim "$build/ravo3-sim" --driver "$root/$build/ravo3.so" "$@" |
        grep '^| ' || echo "| run failed: $* |"
}

out=$(mktemp)
{
    echo "<!-- line-rate:begin -->"
    echo "## Line rate and scale (bench/line_rate.sh)"
    echo
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores of" \
        "$(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(uname -sr)," \
        "shared with other builds; Release build of $(git rev-parse --short HEAD)."
    echo "Command: \`bench/line_rate.sh\` (each run: \`$build/ravo3-line-rate --sim $build/ravo3-sim" \
        "--driver $build/ravo3.so --site typical|large --mode steady|full --seconds $secs ...\`)."
    echo "The host runs in the measuring process; each line's unit is a \`ravo3-sim --pace\`"
    echo "process on a pseudo-terminal. Typical site: 1 AC unit with 1 channel, 1 DC unit,"
    echo "6 rectifier modules; large: 2 AC units, 4 DC units, 24 modules. Full cycles: the"
    echo "units set every data flag; steady: none (every cycle after the first is 0, 4, 7, 3, 9)."
    echo
    echo "Floor of a poll = bytes on the wire both ways × 10 / 9600 s + 20 ms per answer."
    echo "Floor of a period = max(floor of the poll, 2 s). Excess = period − max(poll, 2 s)."
    echo "Wake-ups = voluntary context switches of the line thread (its waits); CPU ="
    echo "its time on a CPU (schedstat). Ratios and excess are min / median / max."
    echo
    echo "| site, cycles | cycles | poll s (median) | floor s (median) | poll / floor | period / floor | excess ms | wake-ups per cycle | line CPU µs per cycle |"
    echo "|---|---|---|---|---|---|---|---|---|"
    for site in typical large; do
        for mode in steady full; do
            run --site $site --mode $mode --seconds "$secs" --row scenario
        done
    done
    echo
    echo "Cost of a lost answer: the poll duration of a cycle in which the unit did not answer"
    echo "the rectifier analog query once, minus the median poll duration (s, min / median / max):"
    echo "the silence time-out and the repeat. In a steady cycle the next command is the DC analog"
    echo "query, of another block, and goes out at once; in a full cycle it is the rectifier status"
    echo "query, of the same block, which waits until the line has been quiet as long as the two"
    echo "sends were apart (an answer still owed to the first send would pass for its answer)."
    echo
    echo "| run | lost answers | cost s |"
    echo "|---|---|---|"
    run --site typical --mode steady --seconds $((secs + 16)) --drop --row lost
    run --site typical --mode steady --seconds $((secs + 16)) --drop --timeout-ms 500 --row lost
    run --site typical --mode full --seconds $((secs + 16)) --drop --row lost
    run --site typical --mode steady --seconds $((secs + 16)) --late --row lost
    run --site typical --mode full --seconds $((secs + 16)) --late --row lost
    echo
    echo "Lines in one host (typical site, steady cycles). CPU % is of one core: the line"
    echo "threads, then the whole process (with 64 lines this includes the querying thread)."
    echo "Queries: \`Host::GetValue\` of the last line's DC voltage from another thread, once a"
    echo "millisecond, µs p50 / p99 / max (samples)."
    echo
    echo "| lines | cycles | poll / floor | excess ms | wake-ups per cycle per line | line CPU µs per cycle | line threads CPU | process CPU | threads | RSS MB | query µs |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    for n in 1 8 32; do
        run --site typical --mode steady --lines $n --seconds "$secs" --row scale
    done
    run --site typical --mode steady --lines 64 --seconds "$secs" --query --row scale
    run --site typical --mode steady --lines 128 --seconds "$secs" --row scale
    echo
    echo "Several units on one line (typical site, steady cycles, one \`ravo3-sim --pace --units N\`"
    echo "process answering at N addresses on one pty): each unit's period (s, min / median / max)"
    echo "and its cycles a second. A steady cycle of a typical unit takes 0.82 s of the line."
    echo
    echo "| site, cycles | units | cycles | poll s (median) | period s | cycles per s per unit |"
    echo "|---|---|---|---|---|---|"
    for n in 2 3 6 7 12 13; do
        run --site typical --mode steady --units $n --seconds $((secs + 16)) --row units
    done
    echo
    echo "Heap allocations per steady cycle, counted exactly by \`cycle_bench\` (the driver's"
    echo "own work: each unit's closure and its copy of the record):"
    echo
    "$build/cycle_bench" --benchmark_filter='steady$' 2>&1 | sed 's/\x1b\[[0-9;]*m//g' |
        awk '/^BM_Cycle\// { sub("BM_Cycle/", "", $1); printf "- %s: %s\n", $1, $(NF - 1) }'
    echo "<!-- line-rate:end -->"
} >"$out"

touch "$doc"
if grep -q '<!-- line-rate:begin -->' "$doc"; then
    awk -v f="$out" '
        /<!-- line-rate:begin -->/ { while ((getline l < f) > 0) print l; skip = 1; next }
        /<!-- line-rate:end -->/ { skip = 0; next }
        !skip { print }
    ' "$doc" >"$doc.new"
    mv "$doc.new" "$doc"
else
    { [ -s "$doc" ] && echo; cat "$out"; } >>"$doc"
fi
rm -f "$out"
sed -n '/<!-- line-rate:begin -->/,/<!-- line-rate:end -->/p' "$doc"
