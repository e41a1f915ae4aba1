#!/usr/bin/env bash
# Builds everything and runs the whole test suite: once as built, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, every test that starts a
# thread under ThreadSanitizer, and then every fuzz target for a bounded time
# under clang (RAVO3_FUZZ_SECONDS each, default 25; any finding fails).
# RAVO3_SKIP_SANITIZERS=1 or RAVO3_SKIP_FUZZ=1 leave those parts out.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=${JOBS:-2}
# A test that fails once under the load of a parallel run gets one more try;
# a real fault fails both.

configure() {  # build-dir, cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

configure build
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure --repeat until-pass:2 -j"$jobs")
# The Debian package: contents, versions, links, maintainer scripts, lintian.
./scripts/package-check.sh build

if [ "${RAVO3_SKIP_SANITIZERS:-0}" != "1" ]; then
  configure build-asan -DRAVO3_SANITIZE=ON -DRAVO3_BENCH=OFF
  cmake --build build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure --repeat until-pass:2 -j"$jobs")

  # The tests that start threads (label "threads", listed at configure time)
  # run under ThreadSanitizer; build just those.
  configure build-tsan -DRAVO3_TSAN=ON -DRAVO3_BENCH=OFF
  mapfile -t targets <build-tsan/threaded-tests.txt
  # The end-to-end tests start these programs.
  targets+=(ravo3-sim ravo3-monitor ravo3d)
  cmake --build build-tsan -j"$jobs" --target "${targets[@]}"
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
     ctest --output-on-failure --repeat until-pass:2 -j"$jobs" -L threads)
fi

if [ "${RAVO3_SKIP_FUZZ:-0}" != "1" ]; then
  ./scripts/fuzz.sh "${RAVO3_FUZZ_SECONDS:-25}"
fi
