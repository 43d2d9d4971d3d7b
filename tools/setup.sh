#!/usr/bin/env bash
# Installs the build tools, libraries and Python packages the project needs, when missing,
# then installs the morvex7 Python package (editable, so the commands follow the checkout).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=/usr/bin/python3
need=()
command -v g++ >/dev/null || need+=(g++)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -x $PY ] || need+=(python3)
for mod in numpy:python3-numpy scipy:python3-scipy matplotlib:python3-matplotlib \
           lmfit:python3-lmfit distributed:python3-distributed pytest:python3-pytest \
           pip:python3-pip setuptools:python3-setuptools; do
  $PY -c "import ${mod%%:*}" 2>/dev/null || need+=("${mod##*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi
# The package's commands (morvex7-spectra, ...) go to /usr/local/bin; no network is used.
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO $PY -m pip install --quiet --no-deps --no-build-isolation --no-index \
  --break-system-packages --root-user-action=ignore -e python >/dev/null
