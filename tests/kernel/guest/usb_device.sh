#!/bin/bash
# Guest suite: an emulated device attached to the kernel over USB/IP. flashsim
# hands the device to vhci-hcd (flashsim attach), usb-storage and sd make
# /dev/sda of it, and kestrin reaches it through SG_IO. Each run's output and
# exit code must be the same as the same run over flashsim's own socket,
# against a second device of the same profile.
#   usb_device.sh BIN_DIR [SIM_TESTS]
# SIM_TESTS, the sim suite's test program, has its local-attach test run too.
set -u
source "$(dirname "$0")/lib.sh"
kestrin="$1/kestrin"
flashsim="$1/flashsim"
sim_tests="${2:-}"
profile="A:blocks=64,blankcheck_ms=4000"
start_roads --device "$profile"   # the device attached below, and its twin over the socket
check "attach to vhci-hcd" 0 "" "$flashsim" attach --dir "$usb_dir" "$profile"
if ! appears /dev/sda 20; then
  dmesg | tail -40
  finish
fi
check "the kernel's disk is the emulated device" 0 "FLASHSIM" \
  bash -c 'tr -d " " </sys/block/sda/device/vendor'

same "probe"
# The device's own blank check: the timing bytes arrive as sent, the poll
# answers 2 while the check runs (4 s) and 0 once it is over.
same "bchks" bchks 247 247 255 255
check "timing bytes at the device" 0 "247 247 255 255" "$flashsim" timings --dir "$usb_dir" A
same "bchkp while the check runs" bchkp
sleep 4.5
same "bchkp once the check is over" bchkp
same "rdx" rdx 4096
same "era" era 0 10

# Pulled out during a blank check of the whole device: the run ends at once
# with the system's error number.
bchk_out=/tmp/bchk.out
run_on /dev bchk >"$bchk_out" &
bchk_pid=$!
check "bchk under way" 0 "" poll 20 grep -q '^Block 0002:' "$bchk_out"
unplugged=$(date +%s)
check "unplug" 0 "" "$flashsim" unplug --dir "$usb_dir" A
bchk_status=0
wait "$bchk_pid" || bchk_status=$?
took=$(($(date +%s) - unplugged))
check "bchk after unplug exits 1" 0 "1" echo "$bchk_status"
bound=$(scaled 5)
check "bchk ends within $bound s of the unplug ($took s)" 0 "" awk -v t="$took" -v b="$bound" 'BEGIN { exit !(t <= b) }'
check "bchk ends with the error number" 0 "" grep -Eq ' Error: [0-9]+$' "$bchk_out"
check "the disk goes away" 0 "" poll 10 test ! -e /sys/block/sda

# The sim suite's own local-attach test, which skips where there is no
# vhci-hcd, runs here for real.
if [ -n "$sim_tests" ]; then
  attach_test=$(cd /tmp && "$sim_tests" --gtest_filter='UsbipLocalAttach.*' 2>&1)
  check "sim test UsbipLocalAttach passes" 0 "" grep -q '^\[  PASSED  \] 1 test' <<<"$attach_test"
  check "sim test UsbipLocalAttach was not skipped" 1 "" grep -q SKIPPED <<<"$attach_test"
fi

finish
