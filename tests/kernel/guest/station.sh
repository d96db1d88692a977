#!/bin/bash
# Guest suite: the station against devices the kernel attached. lumivar runs
# headless and watches /dev itself; emulated devices attached over USB/IP one
# after another take rows in order and are blank-checked with the AC Timing
# bytes; one pulled out mid-check fails, is counted, and its row is
# freed when its node goes away. scsi_debug's disk (sda, run_guest.sh --module
# scsi_debug) is no supported device; a partition node made on an emulated
# device and the sgN nodes take no row. A ninth device is refused with the
# limit's message box. A twin station beside it meets the same devices on
# flashsim's sockets; both windows must show the same at every step.
#   station.sh BIN_DIR
set -u
source "$(dirname "$0")/lib.sh"
flashsim="$1/flashsim"
snap=$(mktemp -d /tmp/snap.XXXXXX)
twin_snap=$(mktemp -d /tmp/snap.XXXXXX)
pids=()

# start_station DEVICE_DIR SNAPSHOT_DIR: lumivar in a folder of its own (no
# ACTiming.ini: built-in timings); its pid joins $pids, and it is stopped on
# exit.
start_station() {
  local cwd
  cwd=$(mktemp -d /tmp/station.XXXXXX)
  (cd "$cwd" && QT_QPA_PLATFORM=offscreen KESTRIN_DEVICE_DIR="$1" LUMIVAR_SNAPSHOT_DIR="$2" \
    exec "$bin_dir/lumivar" >"$cwd/lumivar.log" 2>&1) &
  pids+=($!)
  at_exit stop_process "$!"
}
bin_dir="$1"

rows() { window_rows "${1:-$snap}"; }  # the row lines (default: the kernel's window)
shows() { window_shows "$snap" "$1" && window_shows "$twin_snap" "$1"; }  # both windows
# see NAME REGEX [SECONDS]: both windows' state texts come to match REGEX
see() { check "$1" 0 "" poll "${3:-20}" shows "$2"; }
# attach DEVICE NODE: attached to the kernel, its node appears; plugged into
# the twin's daemon.
attach() {
  check "attach $1" 0 "" "$flashsim" attach --dir "$usb_dir" "$1"
  check "plug $1 for the twin" 0 "" "$flashsim" plug --dir "$sock_dir" "$1"
  [ -z "${2:-}" ] || appears "$2" 20
}
same_windows() { check "$1: the twin shows the same" 0 "$(window_text "$twin_snap")" window_text "$snap"; }

check "scsi_debug's disk is sda" 0 "scsi_debug" bash -c 'tr -d " " </sys/block/sda/device/model'
start_roads
start_station /dev "$snap"
start_station "$sock_dir" "$twin_snap"
see "the windows are up" '^Row 8: Waiting device\.\.\.$' 30

started=$(date +%s)
attach "A:blocks=64,blankcheck_ms=3000" /dev/sdb
see "first device takes row 1" '^Row 1: (Checking\.\.\.|successful)$'
attach "B:blocks=64,blankcheck_ms=600000" /dev/sdc
see "second device takes row 2" '^Row 2: Checking\.\.\.$'
attach "C:blocks=64,blankcheck_ms=3000" /dev/sdd
see "third device takes row 3" '^Row 3: (Checking\.\.\.|successful)$'
echo "      three attaches and probes took $(($(date +%s) - started)) s"
for dir in "$usb_dir" "$sock_dir"; do
  check "timing bytes at the first device" 0 "247 247 255 255" "$flashsim" timings --dir "$dir" A
  check "timing bytes at the third device" 0 "247 247 255 255" "$flashsim" timings --dir "$dir" C
done

both "unplug the second device mid-check" unplug B
# Its job's next tool run fails; the row is freed when the drive's removal
# comes. The two race: a failure shown before the removal gives way to the
# waiting text, one that comes after it shows in the freed row.
see "its job fails and is counted" '^Fail 1$'
see "its row shows the failure or is free" '^Row 2: (Checking\.\.\.fail|Waiting device\.\.\.)$' 3
check "its node goes away" 0 "" poll 10 test ! -e /dev/sdc
# The row was freed: the next device takes it.
attach "D:blocks=64,blankcheck_ms=3000"
see "the fourth device takes the freed row 2" '^Row 2: (Checking\.\.\.|successful)$'
see "the others pass" '^Row 2: successful$' 30
see "row 1 passed" '^Row 1: successful$' 3
see "row 3 passed" '^Row 3: successful$' 3
see "row 4 is free" '^Row 4: Waiting device\.\.\.$' 3
see "counters" '^Total 4$'
see "Success 3" '^Success 3$' 3
see "Fail 1" '^Fail 1$' 3
same_windows "four devices checked"

# A partition appears on the first emulated device (sdb): an MBR with one
# partition written onto its disk, then a re-read; and one on scsi_debug's.
rows_before=$(rows)
{
  head -c 446 /dev/zero
  printf '\x00\x00\x02\x00\x83\x00\x00\x00\x00\x08\x00\x00\x00\x08\x00\x00'
  head -c 48 /dev/zero
  printf '\x55\xaa'
} >/tmp/mbr
for disk in sdb sda; do
  check "write an MBR onto $disk" 0 "" dd if=/tmp/mbr of=/dev/$disk bs=512 count=1 conv=fsync status=none
  check "re-read the partition table of $disk" 0 "" blockdev --rereadpt /dev/$disk
  appears /dev/${disk}1 10
done
check "sg nodes are there" 0 "" test -e /dev/sg1
sleep "$(scaled 2.5)"   # two snapshots
check "no row for sdb1, sda1 or sgN" 0 "$rows_before" rows
see "counters unchanged" '^Total 4$' 3

# Five more fill rows 4 to 8; a ninth is probed and refused with the message
# box: no row, no job, the counters as they were.
for letter in E F G H I; do
  attach "$letter:blocks=64,blankcheck_ms=600000"
done
see "rows 4 to 8 taken" '^Row 8: Checking\.\.\.$' 30
rows_before=$(rows)
attach "J:blocks=64"
probed() { "$flashsim" trace --dir "$1" J | grep -Eq '^[^ ]+ E[EF]'; }
for dir in "$usb_dir" "$sock_dir"; do
  check "the ninth device is probed" 0 "" poll 20 probed "$dir"
  check "its check is not started" 1 "" bash -c "'$flashsim' timings --dir '$dir' J >/dev/null 2>&1"
done
see "the limit's message box is open" '^Box Status: Exceed the device limit!$' 10
check "the ninth device takes no row" 0 "$rows_before" rows
see "counters unchanged by it" '^Total 4$' 3
same_windows "a ninth device refused"

status=0
for pid in "${pids[@]}"; do
  stop_process "$pid" || status=$?
done
check "both windows close on SIGTERM with exit status 0" 0 "0" echo "$status"
finish
