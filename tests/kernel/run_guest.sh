#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU and runs one guest test script in it.
#
#   run_guest.sh [--disk MIB] [--timeout SECONDS] GUEST_SCRIPT [ARGS...]
#
# The guest sees the host's root file system read-only (shared over 9p), so the
# script and the freshly built programs run there as they are, as root, with
# fresh /proc, /sys, /dev (devtmpfs), /tmp and /run. The modules vhci-hcd,
# usb-storage (delay_use=0), sd_mod and sg are loaded before the script starts.
# RIG_SHARE in the script's environment names a writable folder that the
# guest shares with the rig (its files are gone when the rig ends).
#   --disk MIB       gives the guest an emulated removable SCSI disk
#                    (virtio-scsi) of that size, zero-filled: /dev/sda and its
#                    SCSI generic node
#   --module NAME    loads one more module of the kernel (with what it needs)
#                    before the script starts; may be given again
#   --timeout S      the whole run's bound (default 240 s)
#   --writable-root  the guest's root is the host's under a writable overlay
#                    (changes live in the guest's memory and go with it), so
#                    that packages can be installed and accounts made there
# RIG_ACCEL=kvm|tcg forces the accelerator; by default KVM is tried when
# /dev/kvm can be opened and software emulation (TCG) is taken when the guest
# does not come up under it within a few seconds.
#
# Exit status: the guest script's own; 77 (skip) when the kernel or QEMU is not
# installed (scripts/setup.sh installs them), unless CI is set, then 1; 125
# when the guest could not run the script or did not finish in time.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/kernel_env.sh"

disk_mib=0
timeout_s=240
extra_modules=""
writable_root=0
while [ $# -gt 0 ]; do
  case "$1" in
    --disk) disk_mib="$2"; shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    --module) extra_modules="$extra_modules $2"; shift 2 ;;
    --writable-root) writable_root=1; extra_modules="$extra_modules overlay"; shift ;;
    --) shift; break ;;
    -*) echo "run_guest: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: run_guest.sh [--disk MIB] [--module NAME] [--writable-root] [--timeout S] GUEST_SCRIPT [ARGS...]" >&2; exit 2; }
[ -f "$1" ] || { echo "run_guest: no guest script $1" >&2; exit 2; }
script="$(realpath "$1")"
shift

unavailable() {
  echo "run_guest: $*" >&2
  if [ -n "${CI:-}" ]; then exit 1; fi
  echo "run_guest: skipped (run scripts/setup.sh)" >&2
  exit 77
}
[ -f "$KERNEL_DIR/.complete" ] || unavailable "no kernel in $KERNEL_DIR"
for tool in qemu-system-x86_64 cpio busybox timeout; do
  command -v "$tool" >/dev/null || unavailable "$tool is not installed"
done
busybox_bin="$(command -v busybox)"
if ldd "$busybox_bin" >/dev/null 2>&1; then
  unavailable "busybox is not the static build (busybox-static)"
fi

work=$(mktemp -d)
qemu_pid=""
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The initramfs: static busybox, the init, the modules in loading order.
modules_dir="$KERNEL_DIR/lib/modules/$KERNEL_VERSION"
initrd="$work/initrd"
mkdir -p "$initrd/bin" "$initrd/modules"
cp "$busybox_bin" "$initrd/bin/busybox"
cp "$here/guest_init.sh" "$initrd/init"
chmod 755 "$initrd/init"
# Each wanted module after everything it needs, once (modules.dep lists them).
wanted="virtio_pci 9pnet_virtio 9p virtio_scsi sd_mod sg usb-storage vhci-hcd$extra_modules"
awk -v want="$wanted" '
  function base(p) { sub(/.*\//, "", p); sub(/\.ko$/, "", p); return p }
  function load(n,   k, parts, i) {
    if (n in done) return
    if (!(n in file)) { print "run_guest: no module " n > "/dev/stderr"; failed = 1; exit 1 }
    done[n] = 1
    k = split(deps[n], parts, " ")
    for (i = k; i >= 1; i--) load(parts[i])
    print file[n]
  }
  { p = $1; sub(/:$/, "", p); n = base(p); file[n] = p; deps[n] = ""
    for (i = 2; i <= NF; i++) deps[n] = deps[n] " " base($i) }
  END { if (failed) exit 1; k = split(want, w, " "); for (i = 1; i <= k; i++) load(w[i]) }
' "$modules_dir/modules.dep" >"$work/modules.order"
while read -r path; do
  name="$(basename "$path")"
  cp "$modules_dir/$path" "$initrd/modules/$name"
  case "$name" in
    usb-storage.ko) echo "$name delay_use=0" ;;
    *) echo "$name" ;;
  esac
done <"$work/modules.order" >"$initrd/modules.list"

# The job, and the folders under /tmp that it needs (the guest's /tmp is its
# own): those of the working folder, the script and its arguments.
share="$work/share"
mkdir -p "$share"
{
  printf 'cd %q || exit 125\n' "$PWD"
  if [ -x "$script" ]; then printf 'exec %q' "$script"; else printf 'exec /bin/bash %q' "$script"; fi
  printf ' %q' "$@"
  printf '\n'
} >"$share/job.sh"
for path in "$PWD" "$script" "$here" "$@"; do
  case "$path" in
    /tmp/*) top="${path#/tmp/}"; echo "${top%%/*}" ;;
  esac
done | sort -u >"$initrd/keep_tmp"
if [ "$writable_root" = 1 ]; then : >"$initrd/writable_root"; fi
(cd "$initrd" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"

qemu_args=(
  -M pc -nodefaults -no-user-config -display none -no-reboot -m 512 -smp 1
  -kernel "$KERNEL_DIR/vmlinux" -initrd "$work/initrd.cpio"
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init"
  -serial "file:$work/console.log"
  -device virtio-rng-pci
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
  -virtfs "local,path=$share,mount_tag=rig,security_model=none"
)
if [ "$disk_mib" -gt 0 ]; then
  truncate -s "${disk_mib}M" "$work/disk.raw"
  qemu_args+=(
    -device virtio-scsi-pci,id=scsi0
    -drive "file=$work/disk.raw,if=none,format=raw,id=disk0"
    -device scsi-hd,drive=disk0,bus=scsi0.0,removable=on
  )
fi

start_qemu() {  # start_qemu ACCEL [extra qemu options...]
  : >"$work/console.log"
  rm -f "$share/status"
  timeout -k 5 "$timeout_s" qemu-system-x86_64 -accel "$@" "${qemu_args[@]}" </dev/null >"$work/qemu.log" 2>&1 &
  qemu_pid=$!
}

accel="${RIG_ACCEL:-auto}"
if [ "$accel" = auto ]; then
  accel=tcg
  if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then accel=kvm; fi
fi
started=$(date +%s.%N)
if [ "$accel" = kvm ]; then
  start_qemu kvm
  # A working KVM brings the guest's init up in about a second; a nested
  # layer that cannot run this kernel hangs or stops at once.
  for _ in $(seq 50); do
    if grep -q '^rig: guest up' "$work/console.log" || ! kill -0 "$qemu_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if ! grep -q '^rig: guest up' "$work/console.log"; then
    kill "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
    echo "run_guest: KVM did not bring the guest up; falling back to software emulation"
    accel=tcg
    started=$(date +%s.%N)
  fi
fi
if [ "$accel" = tcg ]; then
  start_qemu tcg,thread=single
fi
echo "run_guest: linux $KERNEL_VERSION under QEMU with ${accel^^}"
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=""
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

tr -d '\r' <"$work/console.log" | grep -v -e '^rig: guest up$' -e 'reboot: Restarting system$' -e 'sysrq: Resetting$' || true
if [ "$qemu_rc" -eq 124 ] || [ "$qemu_rc" -eq 137 ]; then
  echo "run_guest: the guest did not finish within ${timeout_s} s" >&2
  exit 125
fi
if [ ! -s "$share/status" ]; then
  echo "run_guest: the guest reported no status (QEMU exit $qemu_rc)" >&2
  cat "$work/qemu.log" >&2
  exit 125
fi
status=$(tr -d ' \n' <"$share/status")
echo "run_guest: guest script exit status $status after ${elapsed} s"
exit "$status"
