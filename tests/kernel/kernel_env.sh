# Sourced by fetch_kernel.sh and run_guest.sh: which kernel the guest tests
# boot and where its unpacked image lives.
#   KERNEL_VERSION  the kernel release, from the file kernel_version beside this one
#   KERNEL_DIR      the unpacked package: vmlinux, config, lib/modules/$KERNEL_VERSION
# BLANKCHECK_KERNEL_CACHE moves the cache (default /var/cache/blankcheck-station).
KERNEL_VERSION=$(tr -d ' \n' <"$(dirname "${BASH_SOURCE[0]}")/kernel_version")
KERNEL_DIR="${BLANKCHECK_KERNEL_CACHE:-/var/cache/blankcheck-station}/linux-image-$KERNEL_VERSION"
