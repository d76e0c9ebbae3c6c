#!/usr/bin/env bash
# Installs the Debian packages that building and testing need; quick when they are there.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev libgmock-dev
  clang libclang-rt-14-dev clang-tidy cppcheck valgrind
  qemu-system-x86 qemu-system-arm qemu-user
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
  cpio xz-utils file dpkg-dev groff-base
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
