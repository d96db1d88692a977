#!/usr/bin/env bash
# Fetches Debian's kernel image package of the version in kernel_version and
# unpacks it into the cache folder of kernel_env.sh, without installing it into
# the system (no initramfs build, no udev, no boot loader). Leaves there:
#   vmlinux             the uncompressed kernel (boots faster under emulation)
#   config              the kernel's build configuration
#   lib/modules/VER/    the modules with a modules.dep made by busybox depmod
# Running it again with the cache in place does nothing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/kernel_env.sh"

if [ -f "$KERNEL_DIR/.complete" ]; then
  echo "fetch_kernel: linux-image-$KERNEL_VERSION already in $KERNEL_DIR"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
package="linux-image-$KERNEL_VERSION"

# The download runs as the calling user into a folder of its own.
if ! (cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$package" >/dev/null 2>&1); then
  apt-get update -q >/dev/null
  if ! (cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$package"); then
    echo "fetch_kernel: the archive does not serve $package;" \
      "put a version it serves (apt-cache depends linux-image-amd64) into tests/kernel/kernel_version" >&2
    exit 1
  fi
fi
deb=("$work"/*.deb)
echo "fetch_kernel: downloaded ${deb[0]##*/} ($(stat -c %s "${deb[0]}") bytes)"

dpkg-deb -x "${deb[0]}" "$work/root"
rm -f "${deb[0]}"
image="$work/root/boot/vmlinuz-$KERNEL_VERSION"
modules="$work/root/lib/modules/$KERNEL_VERSION"
[ -f "$image" ] && [ -d "$modules" ] || { echo "fetch_kernel: $package holds no kernel image" >&2; exit 1; }

# The compressed image holds the kernel as one xz stream behind the boot code.
offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$image" | head -n 1 | cut -d: -f1)
[ -n "$offset" ] || { echo "fetch_kernel: no xz stream in $image" >&2; exit 1; }
tail -c +"$((offset + 1))" "$image" >"$work/vmlinux.xz"
xz -dc --single-stream "$work/vmlinux.xz" >"$work/vmlinux"
[ "$(head -c 4 "$work/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ] ||
  { echo "fetch_kernel: the unpacked kernel is no ELF file" >&2; exit 1; }

busybox depmod -b "$work/root" "$KERNEL_VERSION"

rm -rf "$KERNEL_DIR"
mkdir -p "$KERNEL_DIR/lib/modules"
mv "$work/vmlinux" "$KERNEL_DIR/vmlinux"
mv "$work/root/boot/config-$KERNEL_VERSION" "$KERNEL_DIR/config"
mv "$modules" "$KERNEL_DIR/lib/modules/"
touch "$KERNEL_DIR/.complete"
echo "fetch_kernel: $package unpacked into $KERNEL_DIR ($(du -sh "$KERNEL_DIR" | cut -f1))"
