#!/usr/bin/env bash
# Builds the Windows version with mingw-w64 for x86_64 and i686 and its installers, runs the
# x86_64 tests under wine64 (ctest -L win32/unit) and checks the headers and imports of every
# program of both; measures the History chart's redraw (tarnwell-bench-win32.exe); then the
# window, the service and the installer under wine in Xvfb.
# Usage: scripts/test-win32.sh [build-dir]   (default: build-win in the checkout)
#   build-dir/        the x86_64 build, its libraries in build-dir/deps; tarnwell-setup.exe
#                     and tarnwell-setup-x64.exe
#   build-dir/i686/   the i686 build (programs only: wine64 cannot run them), its libraries
#                     in build-dir/i686/deps
# Installs what it needs from Debian's packages; builds pugixml, PCRE2 and (for x86_64, where
# the tests are built) GoogleTest and Google Benchmark for Windows from Debian's own sources.
# Needs no display and asks nothing; safe to run again (finished steps are skipped).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(mkdir -p "${1:-$root/build-win}" && cd "${1:-$root/build-win}" && pwd)
build32=$build/i686
deps_src=$build/deps-src    # Debian source packages, unpacked, for both architectures
jobs=${TARNWELL_JOBS:-2}

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# --- Debian packages -------------------------------------------------------------------
. "$root/scripts/lib/packages.sh"
ensure_packages g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 cmake ninja-build pkg-config dpkg-dev googletest nsis \
  prometheus curl python3  # the scrape of the served page

# --- Debian sources of the libraries that Debian ships only for Linux ------------------
has_deb_src() {
  grep -Eqs '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
}
if ! has_deb_src; then
  src_list=/etc/apt/sources.list.d/tarnwell-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $sudo tee "$src_list.sources" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list | $sudo tee "$src_list.list" >/dev/null
  fi
  $sudo apt-get update
fi

mkdir -p "$deps_src"
unpacked() { find "$deps_src" -maxdepth 1 -type d -name "$1-[0-9]*" | sort | tail -n 1; }

# Debian versions of a source package, newest first.
source_versions() {
  local v sorted=() i
  while read -r v; do
    i=0
    while [ $i -lt ${#sorted[@]} ] && dpkg --compare-versions "${sorted[$i]}" ge "$v"; do i=$((i + 1)); done
    sorted=("${sorted[@]:0:$i}" "$v" "${sorted[@]:$i}")
  done < <(apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
  printf '%s\n' "${sorted[@]}"
}

# Fetches into a scratch folder, so that a download that fails half-way leaves no tree
# behind that a later run would take for a whole one.
fetch_source() {  # package [version]
  local pkg=$1 spec=$1 scratch dir
  [ -n "${2:-}" ] && spec="$1=$2"
  scratch=$(mktemp -d "$deps_src/.fetch-$pkg.XXXXXX")
  if (cd "$scratch" && apt-get source --only-source "$spec" >&2); then
    dir=$(find "$scratch" -maxdepth 1 -type d -name "$pkg-[0-9]*" | head -n 1)
    if [ -n "$dir" ]; then
      mv "$dir" "$deps_src/"
      rm -rf "$scratch"
      return 0
    fi
  fi
  rm -rf "$scratch"
  return 1
}

source_dir() {  # the unpacked tree of a source package, fetched when missing
  local pkg=$1 v tried=()
  if [ -z "$(unpacked "$pkg")" ] && ! fetch_source "$pkg"; then
    # The archive may list a version whose files it no longer serves: try each listed one.
    tried=("newest")
    while read -r v; do
      [ -n "$v" ] || continue
      tried+=("$v")
      fetch_source "$pkg" "$v" && break
    done < <(source_versions "$pkg")
  fi
  [ -n "$(unpacked "$pkg")" ] || {
    echo "cannot fetch the Debian source of $pkg (tried: ${tried[*]})" >&2
    return 1
  }
  unpacked "$pkg"
}

build_dep() {  # architecture name source-dir cmake-options...
  local arch=$1 name=$2 src=$3 tree=$build
  shift 3
  [ "$arch" = i686 ] && tree=$build32
  [ -f "$tree/deps/.built-$name" ] && return 0
  mkdir -p "$tree/deps"
  cmake -S "$src" -B "$tree/deps-build/$name" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$tree/deps" -DBUILD_SHARED_LIBS=OFF "$@"
  cmake --build "$tree/deps-build/$name" -j "$jobs"
  cmake --install "$tree/deps-build/$name"
  touch "$tree/deps/.built-$name"
}

pugixml_src=$(source_dir pugixml)
pcre2_src=$(source_dir pcre2)
for arch in x86_64 i686; do
  build_dep $arch pugixml "$pugixml_src" -DPUGIXML_BUILD_TESTS=OFF
  build_dep $arch pcre2 "$pcre2_src" -DBUILD_STATIC_LIBS=ON -DPCRE2_BUILD_PCRE2_8=ON \
    -DPCRE2_BUILD_PCRE2_16=OFF -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_BUILD_PCRE2GREP=OFF \
    -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_LIBBZ2=OFF -DPCRE2_SUPPORT_LIBZ=OFF \
    -DPCRE2_SUPPORT_LIBEDIT=OFF -DPCRE2_SUPPORT_LIBREADLINE=OFF \
    -DPCRE2_STATIC_CFLAG=-DPCRE2_STATIC  # written into libpcre2-8.pc for the static library
done
build_dep x86_64 googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
# Google Benchmark, for tarnwell-bench-win32.exe (x86_64 only, where it runs under wine).
# Debian's tree reads no git tags: the version comes from the folder's name, as Debian's own
# build passes it.
benchmark_src=$(source_dir benchmark)
benchmark_version=${benchmark_src##*/benchmark-}
build_dep x86_64 benchmark "$benchmark_src" -DGIT_VERSION="${benchmark_version%%[-+]*}" \
  -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF \
  -DBENCHMARK_ENABLE_INSTALL=ON -DBENCHMARK_INSTALL_DOCS=OFF \
  -DBENCHMARK_ENABLE_LTO=OFF -DBENCHMARK_USE_BUNDLED_GTEST=OFF

# --- Wine prefix, made here so that no test pays for it or waits on a dialog -----------
# Every wine start below has its output away from ours: the wine server and its services
# outlive the program that started them and would otherwise hold our caller's pipes open.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
stop_wine() { "$wineserver" -k </dev/null >/dev/null 2>&1 || true; }
trap stop_wine EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Making the wine prefix $WINEPREFIX"
  timeout 300 "$wine64" wineboot --init </dev/null >"$build/wineboot.log" 2>&1
  timeout 120 "$wineserver" -w </dev/null >/dev/null 2>&1 || true
fi

# --- Configure, build, test ------------------------------------------------------------
# The i686 build first: tarnwell-setup.exe, made by the x86_64 build, carries its program.
cmake -S "$root" -B "$build32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_WIN32_DEPS="$build32/deps" \
  -DTARNWELL_BUILD_APP=OFF -DTARNWELL_BUILD_WIN32_WINDOW=ON -DTARNWELL_BUILD_BENCH=OFF -DTARNWELL_BUILD_STANDINS=ON \
  -DTARNWELL_BUILD_TESTS=OFF -DTARNWELL_WIN32_STORE=ON -DTARNWELL_WERROR=ON
cmake --build "$build32" -j "$jobs"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_WIN32_DEPS="$build/deps" -DTARNWELL_WINEPREFIX="$WINEPREFIX" \
  -DTARNWELL_BUILD_APP=OFF -DTARNWELL_BUILD_WIN32_WINDOW=ON -DTARNWELL_BUILD_BENCH=OFF -DTARNWELL_BUILD_STANDINS=ON \
  -DTARNWELL_WIN32_STORE=ON -DTARNWELL_WERROR=ON -DTARNWELL_SETUP_X86_PROGRAM="$build32/app/win32/tarnwell.exe"
cmake --build "$build" -j "$jobs"

# The i686 programs' headers and imports, read on Linux (label win32, no wine).
ctest --test-dir "$build32" -L '^win32$' -j "$jobs" --output-on-failure --timeout 120

# One wine server, with its services already running, for the whole test run: each test
# program then starts in a fraction of a second instead of waiting on a new server.
"$wineserver" -p60 </dev/null >/dev/null 2>&1 || true  # one left running for this prefix serves as well
timeout 120 "$wine64" cmd.exe /c ver </dev/null >/dev/null 2>&1 || true
# The Windows seams (label win32) and the portable unit tests (label unit) built for Windows.
# Every test here takes seconds, so two minutes is a hang. On a freshly made prefix a wine
# process has been seen to hang before main, or to end before it, with no output at all,
# and the same test then passes alone: a test that hangs, or whose program never reached
# its main, runs once more, and is named, so that one that keeps needing it is seen. A test
# that ran and failed, or that needs a second run and fails it too, fails the run.
win_tests() { ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 120 "$@"; }
failed_list=$build/Testing/Temporary/LastTestsFailed.log  # number:name; a passing run leaves the old one
first_run=$build/win-tests.log
rm -f "$failed_list"
tests_rc=0
win_tests -L '^(win32|unit)$' 2>&1 | tee "$first_run" || tests_rc=$?
# What ctest printed of a failed test's own output: the lines after its result line, up to
# the next line of ctest's own.
test_output() {  # number
  awk -v n="$1" '
    $0 ~ ("Test +#" n ": ") { on = 1; next }
    on && (/^ *Start +[0-9]+: / || /^ *[0-9]+\/[0-9]+ Test +#/ || /^[0-9]+% tests passed/) { on = 0 }
    on { print }' "$first_run"
}
hung=() failed=()
if [ -f "$failed_list" ]; then
  while IFS=: read -r number name; do
    if grep -Eq "Test +#$number: .*\*\*\*Timeout" "$first_run"; then
      hung+=("$name")
    elif ! test_output "$number" | grep -Eq '^(Running main\(\) from|Note: Google Test filter)'; then
      hung+=("$name")  # the test program never reached its main: the test did not run
    else
      failed+=("$name")
    fi
  done <"$failed_list"
fi
if [ ${#failed[@]} -gt 0 ]; then
  printf '\nFailed on the first run (not run again):\n' >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
if [ ${#hung[@]} -eq 0 ] && [ "$tests_rc" -ne 0 ]; then
  echo "ctest failed (exit $tests_rc) without naming a failed test: see $first_run" >&2
  exit 1
fi
if [ ${#hung[@]} -gt 0 ]; then
  printf '\nHung or never started on the first run, running again:\n'
  printf '  %s\n' "${hung[@]}"
  pattern=$(printf '%s\n' "${hung[@]}" | sed 's/[][\.^$*+?(){}|]/\\&/g' | paste -sd '|')
  win_tests -R "^($pattern)\$" || { echo "Failed or hung again on the second run" >&2; exit 1; }
fi

# --- The History chart's redraw with GDI, measured under wine --------------------------
# Figures for the log, not a test: three repetitions of tarnwell-bench-win32.exe (the twin of
# tarnwell-bench's BM_HistoryDraw), on the wine server the tests used; a run that fails
# fails the test command. Its output goes through a file, as every wine start's here.
bench_exe=$build/bench/win32/tarnwell-bench-win32.exe
if [ -f "$bench_exe" ]; then
  echo "tarnwell-bench-win32.exe under wine (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
  bench_rc=0
  timeout 600 "$wine64" "$bench_exe" --benchmark_repetitions=3 </dev/null >"$build/bench-win32.log" 2>&1 || bench_rc=$?
  cat "$build/bench-win32.log"
  [ "$bench_rc" -eq 0 ] || { echo "tarnwell-bench-win32.exe ended with status $bench_rc" >&2; exit 1; }
fi

# --- The window, under wine in a virtual display ----------------------------------------
# tarnwell.exe on a copy of demo/MetaBase.xml (IIS_METABASE): F5 lists the nine pools, a
# worker started as w3wp.exe -ap "ShopPool" is found by monitoring with its process id and
# its figures reach tarnwell.prom (TARNWELL_TEXTFILE_DIR), a picture of each tab, File > Exit.
# The program, the store and the textfile folder sit in folders named outside ASCII. A wine
# server of its own, started inside the display.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# A Windows program under wine in a virtual display, with a wine server of its own started
# inside the display and ended with it.
in_display() {
  stop_wine
  WINESERVER=$wineserver timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" sh -c '"$0" "$@"; rc=$?; "$WINESERVER" -k; exit $rc' \
    "$wine64" "$@" </dev/null
}
shots=$build/window-smoke
rm -rf "$shots" && mkdir -p "$shots"
in_display "$build/tests/win32/tarnwell_window_smoke.exe" \
  "$(winpath "$build/app/win32/tarnwell.exe")" "$(winpath "$root/demo/MetaBase.xml")" \
  "$(winpath "$build/tests/win32/tarnwell_win32_child.exe")" "$(winpath "$shots")"
# The pictures stay in the build folder; TARNWELL_UPDATE_SCREENSHOTS=1 also puts them in
# docs/screenshots, so that a test run never changes the checkout by itself.
for bmp in "$shots"/*.bmp; do
  png="$shots/$(basename "${bmp%.bmp}").png"
  python3 "$root/scripts/lib/bmp2png.py" "$bmp" "$png"
  if [ "${TARNWELL_UPDATE_SCREENSHOTS:-0}" = 1 ]; then cp "$png" "$root/docs/screenshots/"; fi
done
# --- The History tab, under wine --------------------------------------------------------
# tarnwell.exe's History tab on a monitoring log recorded from the demo under wine
# (tests/win32/data/), written as today's, and a year of older logs of another pool: Load,
# a pool's tick box clicked off and on (its colour's pixels go and come back), the lines
# inside the plots, a load of a year followed at once by the week's (only the week's pools),
# Export through the Save dialog (the CSV is the points the core draws at the charts' sizes,
# the picture beside it), and a close during a load (tests/win32/story/history_story.cpp).
# Its picture of the tab goes where the window smoke test's go.
history_shots=$build/history-story
rm -rf "$history_shots" && mkdir -p "$history_shots"
in_display "$build/tests/win32/tarnwell_history_story.exe" \
  "$(winpath "$build/app/win32/tarnwell.exe")" "$(winpath "$root/demo/MetaBase.xml")" \
  "$(winpath "$root/tests/win32/data/trnw-mon-demo.log")" "$(winpath "$history_shots")"
for bmp in "$history_shots"/*.bmp; do
  png="$history_shots/$(basename "${bmp%.bmp}").png"
  python3 "$root/scripts/lib/bmp2png.py" "$bmp" "$png"
  if [ "${TARNWELL_UPDATE_SCREENSHOTS:-0}" = 1 ]; then cp "$png" "$root/docs/screenshots/"; fi
done
# --- The service, under wine -----------------------------------------------------------
# tarnwell.exe --install-service with settings that name a copy of demo/MetaBase.xml, sc
# start, passes over a worker of ShopPool, sc stop with the last pass whole, a start on a bad
# setting, --uninstall-service (tests/win32/smoke/service_smoke.cpp). Its answers are
# message boxes, read in a virtual display, with a wine server of its own.
in_display "$build/tests/win32/tarnwell_service_smoke.exe" \
  "$(winpath "$build/app/win32/tarnwell.exe")" "$(winpath "$root/demo/MetaBase.xml")" \
  "$(winpath "$build/tests/win32/tarnwell_win32_child.exe")" "$root/tests/win32/smoke/prometheus_scrape.sh"
# --- The installer, under wine ---------------------------------------------------------
# tarnwell-setup-x64.exe /S with the service and its settings (a copy of demo/MetaBase.xml,
# ShopPool), sc start with a worker of ShopPool, whole passes in the monitoring log, sc stop,
# a scrape of its http-address by Debian's Prometheus, uninstall.exe /S with the logs kept;
# then an install without the service and
# uninstall.exe /S /REMOVELOGS (tests/win32/smoke/installer_smoke.cpp). The 64-bit build of
# the installer: wine64 runs no 32-bit program here, and tarnwell-setup.exe is the same script.
in_display "$build/tests/win32/tarnwell_installer_smoke.exe" \
  "$(winpath "$build/tarnwell-setup-x64.exe")" "$(winpath "$root/demo/MetaBase.xml")" \
  "$(winpath "$build/tests/win32/tarnwell_win32_child.exe")" "$root/tests/win32/smoke/prometheus_scrape.sh"
# --- The whole job, through ADSI ----------------------------------------------------------
# w3svc.exe on a copy of demo/MetaBase.xml with the demo's load profile, and tarnwell.exe
# (IIS_METABASE unset) binding IIS://localhost through the stand-in provider, registered in
# the prefix as IIS registers its own: F5, ShopPool ticked and monitored, three analyses of
# ShopPool ended by Stop, by TerminateProcess and by closing the window, each leaving the
# file byte for byte as it was (tests/win32/story/analyse_story.cpp).
in_display regsvr32 /s "$(winpath "$build/standin/adsi/iisadsi.dll")"
in_display "$build/tests/win32/tarnwell_analyse_story.exe" \
  "$(winpath "$build/app/win32/tarnwell.exe")" "$(winpath "$build/standin/bin/w3svc.exe")" \
  "$(winpath "$root/demo/MetaBase.xml")" "$(winpath "$root/demo/load-profile.txt")"

if [ ${#hung[@]} -gt 0 ]; then
  printf 'Passed only on a second run, after hanging or not starting on the first:\n'
  printf '  %s\n' "${hung[@]}"
fi
