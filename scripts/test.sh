#!/usr/bin/env bash
# Builds everything and runs the whole test suite: once as built, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded tests under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=${JOBS:-2}

configure() {  # build-dir, cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

configure build
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

if [ "${RAVO3_SKIP_SANITIZERS:-0}" != "1" ]; then
  configure build-asan -DRAVO3_SANITIZE=ON -DRAVO3_BENCH=OFF
  cmake --build build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")

  # Only the threaded tests run under ThreadSanitizer; build just those.
  configure build-tsan -DRAVO3_TSAN=ON -DRAVO3_BENCH=OFF
  targets=$(find tests -maxdepth 1 -name '*threads*_test.cpp' -printf '%f\n' | sed 's/\.cpp$//')
  # shellcheck disable=SC2086
  cmake --build build-tsan -j"$jobs" --target $targets
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
     ctest --output-on-failure -j"$jobs" -L threads)
fi
