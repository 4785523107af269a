#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each of them for a
# while. Usage: scripts/fuzz.sh [seconds per target, default 60] [target ...]
# The corpus grows in <build>/corpus/<target> (seeded from fuzz/seeds); an input that
# crashes, hangs or trips a check is kept in <build>/artifacts. Exits non-zero on a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_extract_pool_name fuzz_metabase_store fuzz_proc_parsers fuzz_pool_filter fuzz_read_whole_number)
fi
build=${TARNWELL_FUZZ_BUILD_DIR:-build-fuzz}

./scripts/setup.sh
# clang with its libFuzzer and sanitizer runtimes, for this script only.
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
missing=0
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing=1
done
if [ "$missing" = 1 ]; then
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends clang libclang-rt-14-dev
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DTARNWELL_FUZZ=ON -DTARNWELL_BUILD_APP=OFF -DTARNWELL_BUILD_TESTS=OFF -DTARNWELL_BUILD_BENCH=OFF \
  -DTARNWELL_BUILD_STANDINS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

mkdir -p "$build/artifacts"
failed=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  if [ -d "fuzz/seeds/$t" ]; then cp -n fuzz/seeds/"$t"/* "$corpus"/ 2>/dev/null || true; fi
  extra=()
  case "$t" in
    fuzz_metabase_store)
      cp -n demo/MetaBase.xml "$corpus/demo.xml" 2>/dev/null || true
      extra=(-dict=fuzz/metabase.dict -max_len=32768) ;;
  esac
  echo "== $t: ${seconds}s"
  # -timeout: a single input that runs this long (seconds) is a finding.
  if ! "$build/fuzz/$t" "$corpus" "${extra[@]}" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
       >"$build/$t.log" 2>&1; then
    failed+=("$t")
    tail -n 40 "$build/$t.log"
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/$t.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Findings in: ${failed[*]} (inputs in $build/artifacts)"
  exit 1
fi
echo "No findings."
