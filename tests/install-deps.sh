#!/usr/bin/env bash
# Installs the Debian packages that building and testing need; quick when they are there.
#   tests/install-deps.sh          everything the whole test suite needs
#   tests/install-deps.sh --demo   only what ./demo.sh needs: the build and the x86_64 VM
set -euo pipefail

demo_packages=(
  cmake g++ make libgtest-dev
  qemu-system-x86 cpio xz-utils
)
packages=(
  "${demo_packages[@]}" libgmock-dev
  clang libclang-rt-14-dev clang-tidy cppcheck valgrind
  qemu-system-arm qemu-user
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
  file dpkg-dev groff-base lintian
)
case "${1:-}" in
--demo) packages=("${demo_packages[@]}") ;;
"") ;;
*)
  echo "usage: tests/install-deps.sh [--demo]" >&2
  exit 2
  ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root, or with sudo, to install them)" >&2
    exit 1
  fi
  # One index that fails to download (a mirror mid-sync) fails the update while every other
  # list is fresh: go on with the lists there are; a package they lack fails the install.
  status=0
  apt-get update -q || status=$?
  [ "$status" = 0 ] ||
    echo "install-deps: warning: apt-get update failed (status $status); going on with the package lists there are" >&2
  err="$(mktemp)"
  trap 'rm -f "$err"' EXIT
  installed=0
  for try in 1 2; do
    [ "$try" = 1 ] || echo "install-deps: retrying the installation of ${missing[*]}" >&2
    status=0
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" 2>"$err" ||
      status=$?
    cat "$err" >&2
    if [ "$status" = 0 ]; then
      installed=1
      break
    fi
  done
  if [ "$installed" = 0 ]; then
    echo "install-deps: could not install ${missing[*]}: $(grep '^E:' "$err" | tr '\n' ' ' | sed 's/ $//')" >&2
    exit 1
  fi
fi
