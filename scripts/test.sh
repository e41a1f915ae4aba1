#!/usr/bin/env bash
# Builds everything and runs the whole test suite: once as built, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded tests under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=${JOBS:-2}

run_suite() {  # build-dir, ctest args, cmake args...
  local dir=$1 filter=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  # shellcheck disable=SC2086
  (cd "$dir" && ctest --output-on-failure -j"$jobs" $filter)
}

run_suite build ""
if [ "${RAVO3_SKIP_SANITIZERS:-0}" != "1" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan "" -DRAVO3_SANITIZE=ON -DRAVO3_BENCH=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan "-L threads" -DRAVO3_TSAN=ON -DRAVO3_BENCH=OFF
fi
