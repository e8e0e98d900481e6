#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 (run as root).
# Packages already present are left alone, so a second run is quick.
set -euo pipefail

PACKAGES=(
  cmake
  ninja-build
  g++
  pkg-config
  python3
  python3-pytest
  dpkg-dev
  file
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libmodbus-dev
  mbpoll
  tshark
  valgrind
  clang
  libclang-rt-14-dev
  libasio-dev
  libcli11-dev
  nlohmann-json3-dev
  g++-mingw-w64-x86-64
  g++-mingw-w64-i686
  wine64
  iproute2
  util-linux
  procps
)
# The i686 DLL runs under the 32-bit Wine loader.
PACKAGES_I386=(wine32:i386)

missing=()
for p in "${PACKAGES[@]}" "${PACKAGES_I386[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
