#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
  libpcre2-dev libpugixml-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth fonts-dejavu-core
  lsof procps python3
)

. "$(dirname "${BASH_SOURCE[0]}")/lib/packages.sh"
ensure_packages "${packages[@]}"
