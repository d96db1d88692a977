#!/bin/bash
# Guest suite: the modules the kernel road needs are loaded, and kestrin sends
# its commands through the disk's SCSI generic node when there is one, through
# the block node otherwise. Needs the rig's emulated disk (run_guest.sh --disk).
#   scsi_generic_node.sh BIN_DIR
# The disk is no supported device, so a run that reaches it ends at the
# INQUIRY check; which node a run used shows in what an unprivileged user
# gets, with the two nodes' permissions set apart.
set -u
source "$(dirname "$0")/lib.sh"
# A copy in the guest's own /tmp, so that an unprivileged user may run it
# wherever the build lies.
kestrin=/tmp/kestrin
install -m 0755 "$1/kestrin" "$kestrin"
export KESTRIN_DEVICE_DIR=/dev

for module in vhci_hcd usb_storage sd_mod sg; do
  check "module $module loaded" 0 "" test -d "/sys/module/$module"
done
check "usb-storage scans without delay" 0 "0" cat /sys/module/usb_storage/parameters/delay_use
appears /dev/sda && appears /dev/sg0
sg_of_sda=$(ls /sys/block/sda/device/scsi_generic)
check "sda's generic node is sg0" 0 "" test "$sg_of_sda" = sg0

inquiry_fail="cmd_bInquiry() fail!"
open_denied=$'CreateFile, Error opening A:. Error: 13\nPermission denied'
rawio_denied="Error: 1  Operation not permitted"

check "root, probe" 1 "$inquiry_fail" "$kestrin" A:
check "root, probe by path" 1 "$inquiry_fail" "$kestrin" /dev/sda

# The commands that reach the disk during one run, from the kernel's trace:
# the raw CDB bytes, one command a line.
tracing=/sys/kernel/tracing
mount -t tracefs tracefs "$tracing"
echo 1 >"$tracing/events/scsi/scsi_dispatch_cmd_start/enable"
commands_of_run() {
  echo >"$tracing/trace"
  "$@" >/dev/null 2>&1
  sed -n 's/.*raw=\([0-9a-f ]*\)).*/\1/p' "$tracing/trace"
}
check "through sg0 only the tool's commands reach the disk" 0 $'ef 04 00 00 80 01\n12 00 00 00 00 00' \
  commands_of_run "$kestrin" A:
# A copy of the block node where no generic node lies beside it: the disk
# driver adds its own commands around the run (the emulated disk is removable).
mkdir /tmp/blockonly && mknod /tmp/blockonly/sda b $(tr ':' ' ' </sys/block/sda/dev)
block_run=$(commands_of_run env KESTRIN_DEVICE_DIR=/tmp/blockonly "$kestrin" A:)
check "through the block node the driver's TEST UNIT READY comes too" 0 "" grep -q '^00 00 00 00 00 00$' <<<"$block_run"
echo 0 >"$tracing/events/scsi/scsi_dispatch_cmd_start/enable"

# Only the generic node open to everyone: the run gets through it.
chmod 0600 /dev/sda && chmod 0666 /dev/sg0
check "nobody, sg0 open to all" 1 "$inquiry_fail" nobody "$kestrin" A:
# Only the block node open to everyone: the generic node is not opened, the
# block node is, and the kernel keeps the vendor opcodes from a process
# without CAP_SYS_RAWIO.
chmod 0666 /dev/sda && chmod 0600 /dev/sg0
check "nobody, sda open to all" 1 "$rawio_denied" nobody "$kestrin" A:
chmod 0600 /dev/sda /dev/sg0
check "nobody, neither node open" 1 "$open_denied" nobody "$kestrin" A:

# Without the sg driver the block node is used as before.
chmod 0666 /dev/sda
busybox rmmod sg
check "sg driver gone" 1 "" test -e /sys/block/sda/device/scsi_generic/sg0
check "root, block node only" 1 "$inquiry_fail" "$kestrin" A:
check "nobody, block node only" 1 "$rawio_denied" nobody "$kestrin" A:

finish
