#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, window (offscreen) and end-to-end.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

build=${TARNWELL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
# End-to-end tests measure processor load, so they run one at a time.
ctest --test-dir "$build" --output-on-failure --timeout 300
