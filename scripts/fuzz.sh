#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each of them for a
# while. Usage: scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Every target in fuzz/ runs when none is named. Each starts from its seed corpus in
# fuzz/corpus/<target> (read, never written) and <build>/corpus/<target>, where what a run
# finds is kept for the next. An input that crashes, leaks, hangs past 10 s or trips a
# sanitizer is a finding: it is kept in <build>/artifacts and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
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

# Leaks are findings: LeakSanitizer runs after every input that allocated more than it
# freed, and at exit. Options the caller set (scripts/test.sh's) are kept.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1

mkdir -p "$build/artifacts"
failed=()
summary=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  extra=()
  case "$t" in
    fuzz_metabase_store) extra=(-dict=fuzz/metabase.dict -max_len=32768) ;;
  esac
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  log="$build/$t.log"
  echo "== $t: ${seconds}s"
  # New inputs go to the first corpus folder only. -timeout: one input running this long
  # (seconds) is a finding.
  result=ok
  if ! "$build/fuzz/$t" "$corpus" "${seeds[@]}" "${extra[@]}" -max_total_time="$seconds" -timeout=10 \
       -detect_leaks=1 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
       >"$log" 2>&1; then
    result=FAILED
    failed+=("$t")
    tail -n 40 "$log"
  else
    grep -E '^stat::number_of_executed_units|^Done' "$log" || true
  fi
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  covStart=$(sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' "$log" | head -n 1)
  covEnd=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  summary+=("$(printf '%-24s %-7s %9s %10s %8s' "$t" "$result" "${execs:--}" "${covStart:--}" "${covEnd:--}")")
done

echo "== Fuzzing, ${seconds}s per target"
printf '%-24s %-7s %9s %10s %8s\n' target result exec/s "cov start" "cov end"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "Findings in: ${failed[*]} (inputs in $build/artifacts, logs in $build/<target>.log)"
  exit 1
fi
echo "No findings."
