#!/usr/bin/env bash
# Sets up, builds and starts the demo: the stand-in web service on a copy of the sample
# metabase, then the window. Closing the window ends the service and its workers.
# With no display, the window plays the README's walk through by itself (offscreen),
# saves a picture of each tab at each step, checks that the sample metabase's copy is
# back as it was, and exits.
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

"$build/standin/bin/w3svc" --metabase "$IIS_METABASE" --profile demo/load-profile.txt >"$demo/w3svc.log" &
service=$!
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true' EXIT

echo "Demo metabase: $IIS_METABASE"
echo "Logs: $build/app/log/"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$build/app/tarnwell"
  exit
fi

echo "No display: the window plays the walk through by itself."
QT_QPA_PLATFORM=offscreen timeout 180 "$build/app/tarnwell" --walkthrough "$demo/pictures"
if cmp -s demo/MetaBase.xml "$IIS_METABASE"; then
  echo "The metabase is byte for byte as before the analysis."
else
  echo "The metabase differs from demo/MetaBase.xml after the analysis:" >&2
  diff demo/MetaBase.xml "$IIS_METABASE" >&2 || true
  exit 1
fi
echo "Pictures: $demo/pictures/"
