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
  clang libclang-rt-14-dev clang-format-14
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
  python3
  qemu-system-x86 busybox-static cpio usbip xz-utils udev adduser iproute2
  dpkg-dev file man-db desktop-file-utils lintian
  cage xwayland qt6-wayland
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

# 32-bit Wine (wine32, Debian's i386 architecture) runs the 32-bit kestrin.exe,
# the station's own width. Debian's i386 libraries must match the amd64 ones
# version for version; while a mirror is mid-sync its i386 index can lag, and
# apt then refuses the install with broken dependencies. Set-up goes on
# without it: the reason is kept in the cache folder, and the Windows checks
# print it where they skip the 32-bit runs.
wine32_note="${BLANKCHECK_KERNEL_CACHE:-/var/cache/blankcheck-station}/wine32-unavailable"
$SUDO mkdir -p "$(dirname "$wine32_note")"
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  $SUDO rm -f "$wine32_note"
else
  export DEBIAN_FRONTEND=noninteractive
  apt_log=$(mktemp)
  added_i386=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    added_i386=1
  fi
  # An index that fails to download (mid-sync) may not matter: the install decides.
  $SUDO apt-get update -q >"$apt_log" 2>&1 || true
  if $SUDO apt-get install -y -q --no-install-recommends wine32:i386 >>"$apt_log" 2>&1; then
    $SUDO rm -f "$wine32_note"
    echo "setup: wine32:i386 installed"
  else
    reason=$(grep -E '^E: |Depends: ' "$apt_log" | head -n 3 | sed 's/^ *//' | tr '\n' ' ')
    echo "apt-get could not install wine32:i386 on $(date -u +%F): ${reason:-no message from apt-get}" |
      $SUDO tee "$wine32_note" >/dev/null
    echo "setup: $(cat "$wine32_note")" >&2
    echo "setup: the 32-bit kestrin.exe runs are skipped until set-up installs wine32:i386" >&2
    # A foreign architecture whose index cannot be fetched makes every later
    # apt-get update fail: take it out again while no package of it is installed.
    if [ "$added_i386" = 1 ] && [ -z "$(dpkg-query -W -f='${Package}\n' '*:i386' 2>/dev/null)" ]; then
      $SUDO dpkg --remove-architecture i386 || true
    fi
  fi
  rm -f "$apt_log"
fi

# The kernel that the guest tests boot: Debian's image package, unpacked into
# a cache folder, not installed into the system.
$SUDO bash "$(dirname "$0")/../tests/kernel/fetch_kernel.sh"
