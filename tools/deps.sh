#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run Lumivane.
# Only packages that are missing are installed; the package lists are
# refreshed first in that case, since a fresh machine has none.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config ccache
  # The linker the build uses when it is there (CMakeLists.txt).
  lld
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev
  libbenchmark-dev
  fonts-dejavu-core
  xvfb xauth
  tshark wireshark-common
  # XES export checks (xmllint) and the ARFF check of the PDML converter (weka).
  libxml2-utils weka
)

# Only the benchmarks need these ("tools/deps.sh bench", run by make bench):
# clustalo is the yardstick of the alignment benchmark (timed by time),
# pandas that of the import (tools/pandas_baseline.py, run with the
# system's /usr/bin/python3).
BENCH_PACKAGES=(
  clustalo
  time
  python3-pandas
)
if [ "${1:-}" = "bench" ]; then
  PACKAGES+=("${BENCH_PACKAGES[@]}")
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer it up front.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections || true
$SUDO apt-get update -q
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
