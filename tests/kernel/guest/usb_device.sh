#!/bin/bash
# Guest suite: an emulated device attached to the kernel over USB/IP. flashsim
# hands the device to vhci-hcd (flashsim attach), usb-storage and sd make
# /dev/sda of it, and kestrin reaches it through SG_IO. Each run's output and
# exit code must be the same as the same run over flashsim's own socket,
# against a second device of the same profile.
#   usb_device.sh BIN_DIR
set -u
source "$(dirname "$0")/lib.sh"
kestrin="$1/kestrin"
flashsim="$1/flashsim"
profile="A:blocks=64,blankcheck_ms=3000"
usb_dir=$(mktemp -d /tmp/usb.XXXXXX)     # the attached device (kernel road)
sock_dir=$(mktemp -d /tmp/sock.XXXXXX)   # its twin over the socket
stop_daemons() {
  "$flashsim" stop --dir "$usb_dir" >/dev/null 2>&1
  "$flashsim" stop --dir "$sock_dir" >/dev/null 2>&1
}
trap stop_daemons EXIT

check "socket daemon starts" 0 "" "$flashsim" serve --dir "$sock_dir" --device "$profile"
check "USB daemon starts" 0 "" "$flashsim" serve --dir "$usb_dir"
check "attach to vhci-hcd" 0 "" "$flashsim" attach --dir "$usb_dir" "$profile"
if ! wait_for /dev/sda 20; then
  dmesg | tail -40
  finish
fi
check "the kernel's disk is the emulated device" 0 "FLASHSIM" \
  bash -c 'tr -d " " </sys/block/sda/device/vendor'

# same NAME ARGS...: kestrin A: ARGS over the socket and through /dev/sda give
# the same standard output and exit code.
run_on() {  # run_on DIR ARGS...: kestrin A: ARGS, its standard output only
  local dir="$1"
  shift
  KESTRIN_DEVICE_DIR="$dir" "$kestrin" A: "$@" 2>/dev/null
}
same() {
  local name="$1" want status=0
  shift
  want=$(run_on "$sock_dir" "$@") || status=$?
  check "$name (socket: status $status)" "$status" "$want" run_on /dev "$@"
}
same "probe"

finish
