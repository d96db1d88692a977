#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU and runs one guest test script in it.
#
#   run_guest.sh [--disk MIB] [--memory MIB] [--module NAME] [--writable-root] [--timeout S] [--slower K]
#                [--persistent-root MIB] [--systemd] [--display] GUEST_SCRIPT [ARGS...]
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
#   --memory MIB     the guest's memory (default 512)
#   --module NAME    loads one more module of the kernel (with what it needs)
#                    before the script starts; may be given again
#   --timeout S      the run's budget in a guest at full speed (default 240 s)
#   --slower K       the programs under test run K times slower than a plain
#                    build's (a sanitizer build: 2); default 1
#   --writable-root  the guest's root is the host's under a writable overlay
#                    (changes live in the guest's memory and go with it), so
#                    that packages can be installed and accounts made there
#   --persistent-root MIB  the writable layer lies on a disk of that size
#                    (ext4, made empty for the run) instead of in memory: it
#                    outlasts a power cycle (below)
#   --systemd        the guest boots like an installed machine: systemd is its
#                    first process, on the writable layer, with the modules of
#                    the guest's kernel at /lib/modules; the script runs as the
#                    unit rig-job.service (started with multi-user.target) and
#                    the machine powers off when it ends. The host's own
#                    choices of services (/etc/systemd/system/*.wants but
#                    getty.target.wants) stay off, and so do the walk of
#                    systemd-tmpfiles over the shared root and the serial
#                    console's login prompt
#   --display        a virtual display (virtio-gpu, 1024 x 768) and a monitor
#                    through which the rig takes pictures of the screen
# The guest script asks the rig for things by writing one line into
# RIG_SHARE/request (guest/lib.sh: rig_request): "screendump NAME" (with
# --display) puts a picture of the screen into RIG_SHARE/screens/NAME.png;
# "power-cycle" (with --persistent-root) switches the guest off hard and boots
# it again, and the script runs anew, with RIG_BOOT one more (1 at the first
# boot). RIG_SCREENS=DIR keeps the pictures in DIR on the host.
# RIG_ACCEL=kvm|tcg forces the accelerator; by default KVM is tried when
# /dev/kvm can be opened and software emulation (TCG) is taken when the guest
# does not come up under it within a few seconds.
#
# Limits follow the guest's speed. The guest's init takes the kernel's boot
# time as the measure of how slow this guest is on this machine now: its
# slowness is that time over the boot time of an unhurried guest
# (reference_boot below), at least 1 and at most max_slowness, times K. The
# guest script finds it in RIG_SLOWNESS (guest/lib.sh scales every wait by
# it), and the rig ends the run when it has taken longer than its budget times
# the slowness (counted from the guest's init on; the boot itself has
# boot_limit). The longest a run can last is thus boot_limit + S x K x
# max_slowness, plus a try of KVM; tests/kernel/CMakeLists.txt sets CTest's
# time-out above that.
#
# Exit status: the guest script's own; 77 (skip) when the kernel or QEMU is not
# installed (scripts/setup.sh installs them), unless CI is set, then 1; 125
# when the guest could not run the script or did not finish in time.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/kernel_env.sh"

disk_mib=0
memory_mib=512
budget_s=240
slower=1
reference_boot=2.0  # seconds of an unhurried TCG guest's kernel boot on a 2-core machine
max_slowness=4
boot_limit=60
extra_modules=""
writable_root=0
persistent_mib=0
systemd_boot=0
display=0
while [ $# -gt 0 ]; do
  case "$1" in
    --disk) disk_mib="$2"; shift 2 ;;
    --memory) memory_mib="$2"; shift 2 ;;
    --timeout) budget_s="$2"; shift 2 ;;
    --slower) slower="$2"; shift 2 ;;
    --module) extra_modules="$extra_modules $2"; shift 2 ;;
    --writable-root) writable_root=1; extra_modules="$extra_modules overlay"; shift ;;
    --persistent-root)
      persistent_mib="$2"; writable_root=1
      extra_modules="$extra_modules overlay virtio_blk crc32c_generic ext4"; shift 2 ;;
    --systemd) systemd_boot=1; writable_root=1; extra_modules="$extra_modules overlay"; shift ;;
    --display) display=1; extra_modules="$extra_modules virtio-gpu"; shift ;;
    --) shift; break ;;
    -*) echo "run_guest: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: run_guest.sh [--disk MIB] [--memory MIB] [--module NAME] [--writable-root] [--timeout S] [--slower K] [--persistent-root MIB] [--systemd] [--display] GUEST_SCRIPT [ARGS...]" >&2; exit 2; }
[[ $persistent_mib =~ ^[0-9]+$ ]] || { echo "run_guest: --persistent-root takes a whole number" >&2; exit 2; }
for number in "$budget_s" "$slower" "$memory_mib"; do
  [[ $number =~ ^[1-9][0-9]*$ ]] || { echo "run_guest: --timeout, --slower and --memory take whole numbers from 1" >&2; exit 2; }
done
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
rig_tools="qemu-system-x86_64 cpio busybox timeout"
if [ "$persistent_mib" -gt 0 ]; then rig_tools="$rig_tools mkfs.ext4"; fi
for tool in $rig_tools; do
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
if [ "$persistent_mib" -gt 0 ]; then : >"$initrd/persistent_root"; fi
if [ "$systemd_boot" = 1 ]; then echo "$modules_dir" >"$initrd/systemd"; fi
echo 1 >"$share/boot"
echo "$reference_boot $max_slowness $slower" >"$initrd/slowness.conf"
(cd "$initrd" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"

qemu_args=(
  -M pc -nodefaults -no-user-config -display none -no-reboot -m "$memory_mib" -smp 1
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
if [ "$persistent_mib" -gt 0 ]; then
  # The writable layer's disk (/dev/vda): what the guest wrote before a
  # power cycle is what it finds after it.
  truncate -s "${persistent_mib}M" "$work/layer.raw"
  mkfs.ext4 -q -F "$work/layer.raw"
  qemu_args+=(-drive "file=$work/layer.raw,if=virtio,format=raw")
fi
if [ "$display" = 1 ]; then
  mkdir -p "$share/screens"
  qemu_args+=(-device virtio-gpu-pci,xres=1024,yres=768)
fi

now_us() { echo "${EPOCHREALTIME/./}"; }
hard_limit=$((boot_limit + budget_s * slower * max_slowness + 10))
boots=0
start_qemu() {  # start_qemu ACCEL [extra qemu options...]
  : >"$work/console.log"
  rm -f "$share/status"
  local monitor=()
  if [ "$display" = 1 ]; then
    # The monitor (QMP) on a pair of pipes, new for every start.
    boots=$((boots + 1))
    monitor_path="$work/monitor$boots"
    mkfifo "$monitor_path.in" "$monitor_path.out"
    monitor=(-chardev "pipe,id=monitor,path=$monitor_path" -mon chardev=monitor,mode=control)
  fi
  # timeout(1) only guards against a rig that cannot end QEMU itself.
  timeout -k 5 "$hard_limit" qemu-system-x86_64 -accel "$@" "${qemu_args[@]}" "${monitor[@]}" </dev/null >"$work/qemu.log" 2>&1 &
  qemu_pid=$!
  if [ "$display" = 1 ]; then
    exec {monitor_in}<>"$monitor_path.in" {monitor_out}<>"$monitor_path.out"
    monitor_ready=0
  fi
}
# qmp COMMAND [ARGUMENTS_JSON]: one command through the monitor; false, with
# the monitor's answer in $qmp_error, when it does not return.
qmp() {
  local line
  if [ "$monitor_ready" = 0 ]; then
    monitor_ready=1
    qmp qmp_capabilities || { monitor_ready=0; return 1; }
  fi
  printf '{"execute": "%s", "arguments": %s}\n' "$1" "${2:-{\}}" >&"$monitor_in"
  while read -r -t 60 -u "$monitor_out" line; do
    case "$line" in
      '{"return"'*) return 0 ;;
      '{"error"'*) qmp_error=$line; return 1 ;;
    esac
  done
  qmp_error="no answer from the monitor"
  return 1
}
# guest_up SECONDS: waits until the guest's init reports, at most SECONDS;
# its slowness in $slowness. False when QEMU ended or the time ran out first.
guest_up() {
  local deadline=$(($(now_us) + $1 * 1000000)) line
  until line=$(tr -d '\r' <"$work/console.log" | grep '^rig: guest up'); do
    kill -0 "$qemu_pid" 2>/dev/null && [ "$(now_us)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
  line=${line%%$'\n'*}
  slowness=${line##* }
  [[ $slowness =~ ^[0-9]+(\.[0-9]+)?$ ]] || slowness=$((max_slowness * slower))
}
stop_qemu() {
  kill "$qemu_pid" 2>/dev/null || true
  wait "$qemu_pid" 2>/dev/null || true
}
# The guest script's requests (RIG_SHARE/request, one line). The answer goes
# to RIG_SHARE/answer ("ok" or why not) before the request goes away.
serve_request() {
  local request="" answer=ok name
  read -r request <"$share/request" || true
  case "$request" in
    "screendump "*)
      name=${request#screendump }
      if [ "$display" != 1 ]; then
        answer="no display (run_guest.sh --display)"
      elif ! [[ $name =~ ^[A-Za-z0-9_-]+$ ]]; then
        answer="a picture's name is letters, digits, - and _"
      elif qmp screendump "{\"filename\": \"$work/screen.png\", \"format\": \"png\"}"; then
        mv "$work/screen.png" "$share/screens/$name.png"
      else
        answer="screendump: $qmp_error"
      fi ;;
    power-cycle)
      if [ "$persistent_mib" -gt 0 ]; then
        power_cycle
        return
      fi
      answer="nothing would outlast a power cycle (run_guest.sh --persistent-root)" ;;
    *) answer="unknown request: $request" ;;
  esac
  echo "$answer" >"$share/answer.tmp"
  mv "$share/answer.tmp" "$share/answer"
  rm -f "$share/request"
}
# Switches the guest off at once (QEMU ends; nothing in the guest hears of
# it) and boots it again on the same disks; false when it does not come up.
power_cycle() {
  local boot
  read -r boot <"$share/boot"
  stop_qemu
  rm -f "$share/request"
  if [ "$display" = 1 ]; then exec {monitor_in}>&- {monitor_out}>&-; fi
  { cat "$work/console.log"; echo "run_guest: power cycle: boot $boot switched off hard; boot $((boot + 1))"; } >>"$work/console.before"
  echo "$((boot + 1))" >"$share/boot"
  start_qemu "$qemu_accel"
  guest_up "$boot_limit"
}

accel="${RIG_ACCEL:-auto}"
if [ "$accel" = auto ]; then
  accel=tcg
  if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then accel=kvm; fi
fi
started=$(now_us)
up=0
if [ "$accel" = kvm ]; then
  qemu_accel=kvm
  start_qemu "$qemu_accel"
  # A working KVM brings the guest's init up in about a second; a nested
  # layer that cannot run this kernel hangs or stops at once.
  if guest_up 5; then
    up=1
  else
    stop_qemu
    echo "run_guest: KVM did not bring the guest up; falling back to software emulation"
    accel=tcg
    started=$(now_us)
  fi
fi
if [ "$accel" = tcg ]; then
  qemu_accel=tcg,thread=single
  start_qemu "$qemu_accel"
  if guest_up "$boot_limit"; then up=1; fi
fi
echo "run_guest: linux $KERNEL_VERSION under QEMU with ${accel^^}"
overdue=""
if [ "$up" = 1 ]; then
  limit=$(awk -v b="$budget_s" -v s="$slowness" 'BEGIN { printf "%d", b * s + 0.5 }')
  echo "run_guest: guest slowness $slowness: the run may take ${limit} s (budget ${budget_s} s)"
  deadline=$(($(now_us) + limit * 1000000))
  while kill -0 "$qemu_pid" 2>/dev/null && [ "$(now_us)" -lt "$deadline" ]; do
    if [ -e "$share/request" ] && ! serve_request; then
      overdue="the guest did not come up again within ${boot_limit} s after a power cycle"
      stop_qemu
      break
    fi
    sleep 0.2
  done
  if [ -z "$overdue" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    overdue="the guest did not finish within ${limit} s (budget ${budget_s} s, slowness ${slowness})"
    stop_qemu
  fi
elif kill -0 "$qemu_pid" 2>/dev/null; then
  overdue="the guest did not come up within ${boot_limit} s"
  stop_qemu
fi
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=""
elapsed=$(awk -v a="$started" -v b="$(now_us)" 'BEGIN { printf "%.1f", (b - a) / 1e6 }')

if [ -f "$work/console.before" ]; then cat "$work/console.before"; fi | cat - "$work/console.log" |
  tr -d '\r' | grep -v -e '^rig: guest up' -e 'reboot: Restarting system$' -e 'sysrq: Resetting$' || true
if [ -n "${RIG_SCREENS:-}" ] && [ "$display" = 1 ]; then
  mkdir -p "$RIG_SCREENS" && cp -R "$share/screens/." "$RIG_SCREENS/" && echo "run_guest: the screen's pictures are in $RIG_SCREENS"
fi
if [ -z "$overdue" ] && { [ "$qemu_rc" -eq 124 ] || [ "$qemu_rc" -eq 137 ]; }; then
  overdue="the guest did not finish within ${hard_limit} s"
fi
if [ -n "$overdue" ]; then
  echo "run_guest: $overdue" >&2
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
