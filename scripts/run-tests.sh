#!/usr/bin/env bash
# Runs every test:
#  1. all tests of the normal build (unit, server, end to end, window,
#     browser) through CTest;
#  2. the unit, server and end-to-end tests again under AddressSanitizer +
#     UndefinedBehaviorSanitizer (clang, which also checks the lock
#     annotations) and under ThreadSanitizer, each in its own build folder;
#  3. a short run of every fuzz target (FUZZ_SECONDS, default 20).
# SANITIZERS=0 or FUZZ_SECONDS=0 leave steps out (for a quick local run).
set -uo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
werror=OFF
[ -n "${CI:-}" ] && werror=ON
passed=0
failed=0
status=0

run_ctest() {  # dir, extra ctest args...
  local dir="$1"
  shift
  local log
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    local total fail
    fail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
    passed=$((passed + total - fail))
    failed=$((failed + fail))
  fi
  rm -f "$log"
  [ "$rc" -eq 0 ] || status=1
}

echo "== tests: $build"
run_ctest "$build"

if [ "${SANITIZERS:-1}" != 0 ]; then
  echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-asan -G Ninja -DKORIMO_SANITIZE=address \
    -DKORIMO_WITH_QT=OFF -DKORIMO_WERROR=$werror >/dev/null &&
    cmake --build build-asan -j2 >/dev/null || { echo "asan build failed"; status=1; }
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest build-asan -E '^browser'

  echo "== tests under ThreadSanitizer"
  cmake -S . -B build-tsan -G Ninja -DKORIMO_SANITIZE=thread -DKORIMO_WITH_QT=OFF \
    -DKORIMO_WERROR=$werror >/dev/null &&
    cmake --build build-tsan -j2 >/dev/null || { echo "tsan build failed"; status=1; }
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_ctest build-tsan -E '^browser'
fi

if [ "${FUZZ_SECONDS:-20}" != 0 ]; then
  echo "== fuzzing"
  if scripts/fuzz.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

echo
echo "tests: $passed passed, $failed failed"
exit $status
