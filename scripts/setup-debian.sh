#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with. Quick when all are there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libftdi1-dev libhidapi-dev
  iproute2
  lintian man-db
  pybind11-dev python3-dev python3-pytest python3-tango python3-numpy python3-matplotlib
  mariadb-server tango-db dbconfig-no-thanks
  clang libclang-rt-14-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libxkbcommon-dev fonts-dejavu-core
  xvfb xauth xdotool python3-xlib
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
