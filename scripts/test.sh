#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, window (offscreen) and end-to-end; then the
# unit and window tests again under AddressSanitizer with UndefinedBehaviorSanitizer, the
# thread-heavy ones under ThreadSanitizer, and the Windows build's tests under wine64.
# The slow tests run once, beside those passes. TARNWELL_QUICK=1 stops after the first pass
# and the slow tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/setup.sh
# The exporter and the server that the metrics textfile's end-to-end test runs.
. scripts/lib/packages.sh
ensure_packages prometheus prometheus-node-exporter
# The Windows import checker's tests read what Server 2003 has from mingw-w64's headers.
ensure_packages g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix

jobs=$(nproc)
build=${TARNWELL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_WERROR=ON
cmake --build "$build" -j"$jobs"
# End-to-end tests measure processor load, so ctest runs everything one at a time.
ctest --test-dir "$build" -LE '^slow$' --output-on-failure --timeout 300

# The heavy tests (the soak, the large inputs) run once, beside the passes below: they
# measure memory and outcomes, not processor time.
slow_log=$build/slow-tests.log
if [ "${TARNWELL_QUICK:-0}" = 1 ]; then
  ctest --test-dir "$build" -L '^slow$' --output-on-failure --timeout 2400
  exit 0
fi
setsid ctest --test-dir "$build" -L '^slow$' --output-on-failure --timeout 2400 >"$slow_log" 2>&1 &
slow_pid=$!
# A failing pass below ends the script: the slow tests and their processes go with it.
trap 'kill -- -"$slow_pid" 2>/dev/null || true' EXIT

# Any sanitizer report fails the run.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== Unit and window tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWELL_WERROR=ON -DTARNWELL_SANITIZE=address,undefined \
  -DTARNWELL_BUILD_BENCH=OFF -DTARNWELL_BUILD_STANDINS=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -L '^(unit|gui)$' --output-on-failure --timeout 600 -j"$jobs"

echo "== Unit tests (the worker threads, the logs, the store) under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWELL_WERROR=ON -DTARNWELL_SANITIZE=thread \
  -DTARNWELL_BUILD_APP=OFF -DTARNWELL_BUILD_BENCH=OFF -DTARNWELL_BUILD_STANDINS=OFF
cmake --build build-tsan -j"$jobs"
ctest --test-dir build-tsan -L '^unit$' --output-on-failure --timeout 600 -j"$jobs"

echo "== Windows build under wine64"
./scripts/test-win32.sh build-win

echo "== Fuzz targets, 10 s each from their corpus"
./scripts/fuzz.sh 10

echo "== The slow tests"
status=0
wait "$slow_pid" || status=$?
trap - EXIT
cat "$slow_log"
exit "$status"
