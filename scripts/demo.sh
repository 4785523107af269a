#!/usr/bin/env bash
# Sets up, builds and starts the demo: the stand-in web service on a copy of the sample
# metabase, then the window. Closing the window ends the service and its workers.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

build=${TARNWELL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)" --target tarnwell tarnwell_w3svc tarnwell_w3wp

# A copy, so that the demo's changes never touch the sample in the checkout.
demo=$(mktemp -d "${TMPDIR:-/var/tmp}/tarnwell-demo.XXXXXX")
cp demo/MetaBase.xml "$demo/MetaBase.xml"
export IIS_METABASE="$demo/MetaBase.xml"

"$build/standin/bin/w3svc" --metabase "$IIS_METABASE" --profile demo/load-profile.txt &
service=$!
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true' EXIT

echo "Demo metabase: $IIS_METABASE"
echo "Logs: $build/app/log/"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$build/app/tarnwell"
else
  echo "No display: running the window under xvfb-run (close it with Ctrl+C)."
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/tarnwell"
fi
