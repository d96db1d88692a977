#!/bin/bash
# Guest suite: the station on a line machine as the packages install it.
# udevd runs; the kestrin and lumivar packages are installed (unpacked, with
# the kestrin package's own maintainer script: the group kestrin and the udev
# rule that gives the drives' SCSI generic nodes to it); an operator account
# in that group starts the station with lumivar-start, headless. Emulated
# sticks come through the kernel's USB/IP client, attached with the stock
# usbip tool from flashsim's USB/IP server.
#   line_machine.sh PACKAGE_DIR BIN_DIR [WATCHER]
# PACKAGE_DIR holds kestrin_*.deb and lumivar_*.deb; BIN_DIR the build's
# flashsim. WATCHER (inotify or udev) forces the station's device watcher,
# to show what goes wrong without udev's announcements.
# Runs as root in a guest with a writable root (run_guest.sh --writable-root).
set -u
source "$(dirname "$0")/lib.sh"
packages="$1"
flashsim="$2/flashsim"
watcher="${3:-}"
# systemd's tools decline some requests in a chroot (the rig's guest is one);
# a line machine has none.
export SYSTEMD_IGNORE_CHROOT=1
ip link set lo up
begun=$(date +%s)
phase() { echo "      [$(($(date +%s) - begun)) s] $*"; }

# udevd as on any machine, then the packages as apt would install them.
check "udevd starts" 0 "" bash -c '/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1'
# udevd binds its control socket before it answers on it; a request sent in
# between is dropped ("Broken pipe"), so wait until it answers a ping.
check "udevd is there" 0 "" poll 10 quietly udevadm control --ping
install_packages "$packages" kestrin lumivar
check "the group kestrin exists" 0 "" bash -c 'getent group kestrin >/dev/null' || finish
check "the rule is in udev's folder" 0 "" test -f /usr/lib/udev/rules.d/60-kestrin.rules || finish
check "an operator in the group" 0 "" bash -c 'adduser --quiet --disabled-password --gecos "" lineop &&
  adduser --quiet lineop kestrin'
check "an operator outside it" 0 "" adduser --quiet --disabled-password --gecos "" outsider

# Nine emulated sticks on flashsim's USB/IP server (bus IDs 1-1 … 1-9).
sim_dir=$(mktemp -d /tmp/sim.XXXXXX)
at_exit quietly "$flashsim" stop --dir "$sim_dir"
check "flashsim serves USB/IP" 0 "" "$flashsim" serve --dir "$sim_dir" --usbip 127.0.0.1:3240 || finish
for letter in A B C D E F G H I; do
  "$flashsim" plug --dir "$sim_dir" "$letter:blocks=32,blankcheck_ms=2500"
done
detach() {  # detach LETTER, and wait until its disk is gone
  local port
  port=$(usbip port 2>/dev/null | awk -v want="/$(busid "$1")" '
    /^Port [0-9]+:/ { p = $2; sub(":", "", p) } index($0, want) { print p + 0; exit }')
  check "detach $1" 0 "" bash -c "usbip detach -p '$port' >/dev/null 2>&1"
}
disks_are() { [ "$(ls /sys/block | grep -c '^sd[a-z]$')" = "$1" ]; }

# start_station USER SNAPSHOT_DIR: lumivar-start as USER, headless; its pid in $station
start_station() {
  local home
  home=$(getent passwd "$1" | cut -d: -f6)
  chown "$1" "$2"
  setpriv --reuid="$1" --regid="$1" --init-groups \
    env -i PATH=/usr/bin:/bin HOME="$home" QT_QPA_PLATFORM=offscreen LUMIVAR_SNAPSHOT_DIR="$2" \
    ${watcher:+LUMIVAR_DEVICE_WATCH=$watcher} lumivar-start >"$2/lumivar.log" 2>&1 &
  station=$!
  at_exit stop_process "$station"
  check "the window of $1 is up" 0 "" poll 30 window_shows "$2" '^Row 8: Waiting device\.\.\.$' || finish
}
stop_station() {
  local status=0
  stop_process "$station" || status=$?
  check "the station closes on SIGTERM" 0 "0" echo "$status"
}
see() { check "$1" 0 "" poll "${3:-60}" window_shows "$snap" "$2"; }
# A failed step of the three runs below leaves the rest of that run
# meaningless: the suite ends there (with the failure).

phase "installed"
# Eight sticks attached together: eight rows, eight passes.
snap=$(mktemp -d /tmp/snap.XXXXXX)
start_station lineop "$snap"
for letter in A B C D E F G H; do attach "$letter"; done
check "eight disks" 0 "" poll 60 disks_are 8 || finish
phase "eight disks attached"
see "eight rows taken" '^Row 8: (Checking\.\.\.|successful)$' 90 || { window_text "$snap"; finish; }
phase "eight rows"
see "eight passes" '^Total 8$' 90 || finish
phase "eight passes"
check "all eight successful" 0 "8" bash -c "grep -c '^Row [1-8]: successful\$' '$snap/lumivar.txt'"
see "Success 8" '^Success 8$' 3
check "timing bytes at a device" 0 "247 247 255 255" "$flashsim" timings --dir "$sim_dir" H

# A ninth is probed and refused with the limit's message box.
rows_before=$(window_rows "$snap")
attach I
probed() { "$flashsim" trace --dir "$sim_dir" I | grep -Eq '^[^ ]+ E[EF]'; }
check "the ninth device is probed" 0 "" poll 60 probed
see "the limit's message box is open" '^Box Status: Exceed the device limit!$' 30
check "the ninth takes no row" 0 "$rows_before" window_rows "$snap"
see "counters unchanged by it" '^Total 8$' 3
stop_station
detach I
phase "ninth refused"
# All detached; a fresh station; each stick attached again, one at a time,
# takes the next row and passes.
for letter in A B C D E F G H; do detach "$letter"; done
check "the disks are gone" 0 "" poll 30 disks_are 0 || finish
snap=$(mktemp -d /tmp/snap.XXXXXX)
start_station lineop "$snap"
row=1
for letter in A B C D E F G H; do
  attach "$letter"
  see "$letter again takes row $row" "^Row $row: (Checking\.\.\.|successful)\$" || finish
  row=$((row + 1))
done
phase "eight attached one at a time"
see "all eight pass again" '^Total 8$' 90 || finish
phase "eight passes again"
see "Success 8 again" '^Success 8$' 3

# By hand, a member: the device's own check is over.
a_drive() { ls /sys/block | grep -m1 '^sd[a-z]$' | cut -c3 | tr a-z A-Z; }  # the letter of one
letter=$(a_drive)
check "a member's bchkp by hand" 0 "" setpriv --reuid=lineop --regid=lineop --init-groups \
  bash -c "cd /tmp && kestrin $letter: bchkp >/dev/null"
stop_station

phase "member's hand run"
# An operator outside the group: every stick is refused, no row, no count;
# the same operator's hand run cannot open the drive.
snap=$(mktemp -d /tmp/snap.XXXXXX)
start_station outsider "$snap"
rows_before=$(window_rows "$snap")
for letter in A B; do detach "$letter"; done
check "their disks are gone" 0 "" poll 30 disks_are 6
for letter in A B; do attach "$letter"; done
check "and back" 0 "" poll 30 disks_are 8
check "udev is done" 0 "" udevadm settle -t "$(scaled 30)"
sleep "$(scaled 3)"  # two of the window's snapshots
check "an outsider's station takes no row" 0 "$rows_before" window_rows "$snap"
see "and counts nothing" '^Total 0$' 3
letter=$(a_drive)
open_denied=$'CreateFile, Error opening '"$letter"$':. Error: 13\nPermission denied'
check "an outsider's kestrin by hand" 1 "$open_denied" setpriv --reuid=outsider --regid=outsider --init-groups \
  bash -c "cd /tmp && kestrin $letter:"
stop_station
phase "outsider"
finish
