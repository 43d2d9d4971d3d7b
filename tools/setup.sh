#!/usr/bin/env bash
# Sets the machine up for morvex7: installs the build tools, libraries and Python packages the
# project needs, when missing; builds the engine (build/morvex7, optimised); and installs it with
# cmake --install, which puts `morvex7` in /usr/local/bin and installs the morvex7 Python package
# editable (its commands morvex7-spectra, ... in /usr/local/bin follow the checkout). No network
# is used beyond apt-get. MORVEX7_PREFIX=DIR installs the engine into DIR/bin instead; the
# package's commands are then left out (pip installs them in /usr/local/bin only).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=/usr/bin/python3
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
step() { printf '\n==> %s\n' "$*"; }

need=()
command -v g++ >/dev/null || need+=(g++)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -x $PY ] || need+=(python3)
for mod in numpy:python3-numpy scipy:python3-scipy matplotlib:python3-matplotlib \
           lmfit:python3-lmfit distributed:python3-distributed pytest:python3-pytest \
           xdist:python3-pytest-xdist pip:python3-pip setuptools:python3-setuptools \
           selenium:python3-selenium; do
  $PY -c "import ${mod%%:*}" 2>/dev/null || need+=("${mod##*:}")
done
# the explorer's browser tests: headless Chromium driven by Selenium
command -v chromium >/dev/null || need+=(chromium)
command -v chromedriver >/dev/null || need+=(chromium-driver)
if [ ${#need[@]} -gt 0 ]; then
  step "Installing ${need[*]} (apt-get)"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi

step "Configuring the build in build/ (cmake, optimised)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
step "Building morvex7"
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target morvex7

prefix=${MORVEX7_PREFIX:-/usr/local}
step "Installing morvex7 into $prefix/bin (cmake --install)"
mkdir -p "$prefix" 2>/dev/null || true
install_sudo=""
[ -w "$prefix" ] || install_sudo=$SUDO
$install_sudo cmake --install build --prefix "$prefix"
