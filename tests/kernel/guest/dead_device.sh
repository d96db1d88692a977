#!/bin/bash
# Guest suite: a disk that stops answering for good. The kernel's scsi_debug
# disk (run_guest.sh --module scsi_debug) is told to let every command time
# out; kestrin, through the disk's SCSI generic node, must end on its own
# 20-second time-out, not on the disk driver's longer ones.
#   dead_device.sh BIN_DIR
# The disk is no supported device: its first answers already fail the probe.
# The bounds here are the tool's own time-out, not the guest's speed: they
# are not scaled by the guest's slowness.
set -u
source "$(dirname "$0")/lib.sh"
kestrin="$1/kestrin"
export KESTRIN_DEVICE_DIR=/dev
debug=/sys/bus/pseudo/drivers/scsi_debug

appears /dev/sda && appears /dev/sg0
check "scsi_debug's disk is sda" 0 "scsi_debug" bash -c 'tr -d " " </sys/block/sda/device/model'

seconds() {  # seconds COMMAND...: runs it, prints its wall time in whole seconds
  local start
  start=$(date +%s)
  "$@" >/dev/null 2>&1
  echo $(($(date +%s) - start))
}
check "answering disk, probe" 1 "cmd_bInquiry() fail!" "$kestrin" A:
took=$(seconds "$kestrin" A:)
check "answering disk, probe within 5 s ($took s)" 0 "" test "$took" -le 5

# Every command from now on goes unanswered (scsi_debug's time-out injection).
echo 1 >"$debug/every_nth"
echo 4 >"$debug/opts"
start=$(date +%s)
check "dead disk, probe" 1 "cmd_bInquiry() fail!" "$kestrin" A:
took=$(($(date +%s) - start))
check "dead disk, the tool's time-out fired ($took s)" 0 "" test "$took" -ge 19
check "dead disk, the run ended within 25 s ($took s)" 0 "" test "$took" -le 25

finish
