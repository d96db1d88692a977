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
wait_for /dev/sda && wait_for /dev/sg0
sg_of_sda=$(ls /sys/block/sda/device/scsi_generic)
check "sda's generic node is sg0" 0 "" test "$sg_of_sda" = sg0

nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
inquiry_fail="cmd_bInquiry() fail!"
open_denied=$'CreateFile, Error opening A:. Error: 13\nPermission denied'
rawio_denied="Error: 1  Operation not permitted"

check "root, probe" 1 "$inquiry_fail" "$kestrin" A:
check "root, probe by path" 1 "$inquiry_fail" "$kestrin" /dev/sda

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
