#!/usr/bin/env bash
# Builds everything and runs the whole test suite: once as built, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, every test that starts a
# thread under ThreadSanitizer, and then every fuzz target for a bounded time
# under clang (RAVO3_FUZZ_SECONDS each, default 15; any finding fails).
# RAVO3_SKIP_SANITIZERS=1 or RAVO3_SKIP_FUZZ=1 leave those parts out.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=${JOBS:-2}

# Every test passes on its first try. A test may have a second one only when
# tests/second-try.txt names it with the evidence that the cause is outside
# the project; each second try is printed, passed or not. A test that fails
# once under load shows a race: fix it rather than list it.
ctest_once() {  # build-dir, ctest args...
  local dir=$1
  shift
  if (cd "$dir" && ctest --output-on-failure "$@"); then return 0; fi
  local failed=0 name
  while IFS= read -r name; do
    name=${name#*:}
    if grep -q "^$name " tests/second-try.txt 2>/dev/null; then
      echo "SECOND TRY: $name in $dir ($(grep "^$name " tests/second-try.txt | cut -d' ' -f2-))"
      if (cd "$dir" && ctest --output-on-failure -R "^$name\$" "$@"); then
        echo "SECOND TRY: $name passed"
        continue
      fi
    fi
    echo "FAILED: $name in $dir"
    failed=1
  done <"$dir/Testing/Temporary/LastTestsFailed.log"
  return $failed
}

configure() {  # build-dir, cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

configure build
cmake --build build -j"$jobs"
ctest_once build -j"$jobs"
# The Debian package: contents, versions, links, maintainer scripts, lintian.
./scripts/package-check.sh build

if [ "${RAVO3_SKIP_SANITIZERS:-0}" != "1" ]; then
  configure build-asan -DRAVO3_SANITIZE=ON -DRAVO3_BENCH=OFF
  cmake --build build-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest_once build-asan -j"$jobs"

  # The tests that start threads (label "threads", listed at configure time)
  # run under ThreadSanitizer; build just those.
  configure build-tsan -DRAVO3_TSAN=ON -DRAVO3_BENCH=OFF
  mapfile -t targets <build-tsan/threaded-tests.txt
  # The end-to-end tests start these programs.
  targets+=(ravo3-sim ravo3-monitor ravo3d)
  cmake --build build-tsan -j"$jobs" --target "${targets[@]}"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest_once build-tsan -j"$jobs" -L threads
fi

if [ "${RAVO3_SKIP_FUZZ:-0}" != "1" ]; then
  ./scripts/fuzz.sh "${RAVO3_FUZZ_SECONDS:-15}"
fi
