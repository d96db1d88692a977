#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests and the station need.
# Run as root (or through sudo) on a fresh machine; running it again is harmless.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libiniparser-dev libudev-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  xvfb xauth fonts-dejavu-core fonts-dejavu-extra
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
  python3
  qemu-system-x86 busybox-static cpio usbip xz-utils udev adduser iproute2
  dpkg-dev file man-db desktop-file-utils lintian
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"

# The kernel that the guest tests boot: Debian's image package, unpacked into
# a cache folder, not installed into the system.
$SUDO bash "$(dirname "$0")/../tests/kernel/fetch_kernel.sh"
