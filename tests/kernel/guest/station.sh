#!/bin/bash
# Guest suite: the station against devices the kernel attached. lumivar runs
# headless and watches /dev itself; emulated devices attached over USB/IP one
# after another take rows in order and are blank-checked with the AC Timing
# bytes; one pulled out mid-check fails, is counted, and its row is
# freed when its node goes away. scsi_debug's disk (sda, run_guest.sh --module
# scsi_debug) is no supported device, and the partition node made on it and
# the sgN nodes take no row. A ninth device is refused.
#   station.sh BIN_DIR
set -u
source "$(dirname "$0")/lib.sh"
flashsim="$1/flashsim"
usb_dir=$(mktemp -d /tmp/usb.XXXXXX)
snap=$(mktemp -d /tmp/snap.XXXXXX)
station=$(mktemp -d /tmp/station.XXXXXX)   # no ACTiming.ini: built-in timings
lumivar_pid=""
stop_all() {
  if [ -n "$lumivar_pid" ]; then
    kill -TERM "$lumivar_pid" 2>/dev/null
    wait "$lumivar_pid" 2>/dev/null
  fi
  "$flashsim" stop --dir "$usb_dir" >/dev/null 2>&1
}
trap stop_all EXIT

state() { cat "$snap/lumivar.txt" 2>/dev/null; }
# The window replaces its state file by removing it first: a read may find no
# file for a moment, so every look at it is retried briefly.
rows() {  # the row lines of the state text
  local tries=20 text
  until text=$(state | grep '^Row') || [ "$tries" -eq 0 ]; do sleep 0.1; tries=$((tries - 1)); done
  echo "$text"
}
shows() { state | grep -Eq "$1"; }                 # shows REGEX
# see NAME REGEX [SECONDS]: the window's state text comes to match REGEX
see() { check "$1" 0 "" poll "${3:-20}" shows "$2"; }
attach() {  # attach DEVICE NODE: attached, its node appears
  check "attach $1" 0 "" "$flashsim" attach --dir "$usb_dir" "$1"
  wait_for "$2" 20
}

check "scsi_debug's disk is sda" 0 "scsi_debug" bash -c 'tr -d " " </sys/block/sda/device/model'
check "USB daemon starts" 0 "" "$flashsim" serve --dir "$usb_dir"
(cd "$station" && QT_QPA_PLATFORM=offscreen LUMIVAR_SNAPSHOT_DIR="$snap" exec "$1/lumivar" >/tmp/lumivar.log 2>&1) &
lumivar_pid=$!
see "the window is up" '^Row 8: Waiting device\.\.\.$'

started=$(date +%s)
attach "A:blocks=64,blankcheck_ms=3000" /dev/sdb
see "first device takes row 1" '^Row 1: (Checking\.\.\.|successful)$'
attach "B:blocks=64,blankcheck_ms=600000" /dev/sdc
see "second device takes row 2" '^Row 2: Checking\.\.\.$'
attach "C:blocks=64,blankcheck_ms=3000" /dev/sdd
see "third device takes row 3" '^Row 3: (Checking\.\.\.|successful)$'
echo "      three attaches and probes took $(($(date +%s) - started)) s"
check "timing bytes at the first device" 0 "247 247 255 255" "$flashsim" timings --dir "$usb_dir" A
check "timing bytes at the third device" 0 "247 247 255 255" "$flashsim" timings --dir "$usb_dir" C

check "unplug the second device mid-check" 0 "" "$flashsim" unplug --dir "$usb_dir" B
see "its row fails" '^Row 2: Checking\.\.\.fail$'
check "its node goes away" 0 "" poll 10 test ! -e /dev/sdc
# The row was freed when the node went away (the job's failure may show in it
# after that): the next device takes it.
check "attach a fourth device" 0 "" "$flashsim" attach --dir "$usb_dir" "D:blocks=64,blankcheck_ms=3000"
see "the fourth device takes the freed row 2" '^Row 2: (Checking\.\.\.|successful)$'
see "the others pass" '^Row 2: successful$' 30
see "row 1 passed" '^Row 1: successful$' 3
see "row 3 passed" '^Row 3: successful$' 3
see "row 4 is free" '^Row 4: Waiting device\.\.\.$' 3
see "counters" '^Total 4$'
see "Success 3" '^Success 3$' 3
see "Fail 1" '^Fail 1$' 3

# A partition appears on sda: an MBR with one partition, then a re-read.
rows_before=$(rows)
{
  head -c 446 /dev/zero
  printf '\x00\x00\x02\x00\x83\x00\x00\x00\x00\x08\x00\x00\x00\x08\x00\x00'
  head -c 48 /dev/zero
  printf '\x55\xaa'
} >/tmp/mbr
check "write an MBR onto sda" 0 "" dd if=/tmp/mbr of=/dev/sda bs=512 count=1 conv=fsync status=none
check "re-read the partition table" 0 "" blockdev --rereadpt /dev/sda
wait_for /dev/sda1 10
check "sg nodes are there" 0 "" test -e /dev/sg1
sleep 2.5   # two snapshots
check "no row for sda1 or sgN" 0 "$rows_before" rows
see "counters unchanged" '^Total 4$' 3

# Five more fill rows 4 to 8; a ninth is probed and refused with the message
# box: no row, no job, the counters as they were.
for letter in E F G H I; do
  check "attach $letter" 0 "" "$flashsim" attach --dir "$usb_dir" "$letter:blocks=64,blankcheck_ms=600000"
done
see "rows 4 to 8 taken" '^Row 8: Checking\.\.\.$' 30
rows_before=$(rows)
check "attach a ninth device" 0 "" "$flashsim" attach --dir "$usb_dir" "J:blocks=64"
probed() { "$flashsim" trace --dir "$usb_dir" J | grep -Eq '^[^ ]+ E[EF]'; }
check "the ninth device is probed" 0 "" poll 20 probed
sleep 2.5   # two snapshots
check "the ninth device takes no row" 0 "$rows_before" rows
check "its check is not started" 1 "" bash -c "'$flashsim' timings --dir '$usb_dir' J >/dev/null 2>&1"
see "counters unchanged by it" '^Total 4$' 3

check "lumivar closes on SIGTERM" 0 "" kill -TERM "$lumivar_pid"
status=0
wait "$lumivar_pid" || status=$?
lumivar_pid=""
check "lumivar exits 0" 0 "0" echo "$status"
finish
