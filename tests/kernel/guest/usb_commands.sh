#!/bin/bash
# Guest suite: the rest of the tool's commands through the kernel's node of an
# emulated device attached over USB/IP, each compared byte for byte (output and
# exit code) with the same run over flashsim's socket against a twin device;
# a user who may not open the nodes; a device that stops answering; and the
# round trip of erase commands on both roads (printed, not judged).
#   usb_commands.sh BIN_DIR [--block-hang]
# --block-hang also times a dead device through the block node (about a minute).
set -u
source "$(dirname "$0")/lib.sh"
# A copy in the guest's own /tmp, so that an unprivileged user may run it.
kestrin=/tmp/kestrin
install -m 0755 "$1/kestrin" "$kestrin"
flashsim="$1/flashsim"
block_hang="${2:-}"
# A: the smallest NAND with room for the firmware area (8 blocks below the
# 16 of the area, 256 KiB each) with a factory-bad, an erase-failing, a
# program-failing, a read-failing and a bit-error block; its version string
# makes move not due. B: move due. C: as A, but most of the firmware area
# factory-bad, so that a blank check of the whole device stays short.
faulty="blocks=24,pages=128,pagesize=2048,erase_fail=2,program_fail=3,read_fail=4,bit_error=5"
profile_a="A:$faulty,bad=1"
profile_b="B:blocks=256,version=ZANQ006GAD"
profile_c="C:$faulty,bad=1/9/10/11/12/13/14/15/16/17/18/19/20/21"
start_roads --device "$profile_a" --device "$profile_b" --device "$profile_c"
check "attach A" 0 "" "$flashsim" attach --dir "$usb_dir" "$profile_a"
appears /dev/sda 20 || finish
check "attach B" 0 "" "$flashsim" attach --dir "$usb_dir" "$profile_b"
appears /dev/sdb 20 || finish
check "attach C" 0 "" "$flashsim" attach --dir "$usb_dir" "$profile_c"
appears /dev/sdc 20 || finish

same "rdc 8192" rdc 8192
same "wtx" wtx 4096 1 2 3 254 255
same "rdx after wtx" rdx 4096
# move prints nothing either way: the device's trace tells whether it moved.
moves() { "$flashsim" trace --dir "$usb_dir" "$1" | grep -c ' EF1000000000 '; }
same "move not due" move
check "move not due sends no cmd_bMove" 1 "0" moves A
same "eraa" eraa

# Four image files; the first carries the tag the load insists on.
images=/tmp/images
mkdir -p "$images"
{ printf 'ZANQ005'; seq 1 700; } >"$images/a.bin"
seq 1000 1030 >"$images/b.bin"
: >"$images/c.bin"
seq 5000 5500 >"$images/d.bin"
same "fwup with compare" fwup "$images"/{a,b,c,d}.bin 1

# C: the whole device blank-checked with program-verify, bad blocks skipped
# and the failing ones marked; then the blocks below the firmware area erased,
# bad ones included.
drive=C
same "bchk" bchk
same "eraa 1 after bchk" eraa 1

drive=B
same "move due" move
check "move due sends cmd_bMove" 0 "1" moves B

# A controller that knows neither cmd_bStartup, cmd_bMove nor the blank
# check's poll: CHECK CONDITION is a completed request, so the probe goes on,
# and a status command without its status byte fails.
both "commands made unknown" fault B unknown=EF04/EF10/EF21
same "probe past an unknown cmd_bStartup" rdc 16
same "move answered as unknown" move
same "bchkp answered as unknown" bchkp
check "the kernel carried CHECK CONDITION" 0 "" \
  bash -c "'$flashsim' trace --dir '$usb_dir' B | grep -q ' EF0400008001 in 1 checkcondition'"
both "commands known again" fault B unknown=

# A user who may open neither node of the drive.
chmod 0600 /dev/sda /dev/sg0
check "nobody may not open the drive" 1 $'CreateFile, Error opening A:. Error: 13\nPermission denied' \
  nobody env KESTRIN_DEVICE_DIR=/dev "$kestrin" A:

# Round trip: 201 erase commands a run, three runs a road.
now() { date +%s.%N; }
median_era() {  # median_era DIR: the median seconds of three runs of era 0 200
  local t0 round
  for round in 1 2 3; do
    t0=$(now)
    run_on "$1" era 0 200 >/dev/null
    awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.3f\n", b - a }'
  done | sort -n | sed -n 2p
}
for road in "$sock_dir" /dev; do
  seconds=$(median_era "$road")
  awk -v s="$seconds" -v r="$([ "$road" = /dev ] && echo kernel || echo socket)" 'BEGIN {
    printf "bench %-6s era 0 200: median %.3f s, %.2f ms a command, %.0f commands/s\n", r, s, s * 1000 / 201, 201 / s }'
done

# B stops answering: the tool's own time-out ends the run through sdb's
# generic node.
hang_run() {  # hang_run DIR: the probe of the dead device; its seconds in $took
  local t0 out status=0
  check "hang set" 0 "" "$flashsim" fault --dir "$usb_dir" B hang_after=0
  t0=$(now)
  out=$(run_on "$1") || status=$?
  took=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.1f\n", b - a }')
  check "dead device through $1: exit 1 with the time-out's error number" 0 \
    "1 Error: 110  Connection timed out" echo "$status $out"
  check "hang cleared" 0 "" "$flashsim" fault --dir "$usb_dir" B hang_after=
}
hang_run /dev
check "dead device through sdb's generic node returns within 25 s ($took s)" 0 "" \
  awk -v t="$took" 'BEGIN { exit !(t <= 25) }'
if [ "$block_hang" = --block-hang ]; then
  mkdir -p /tmp/blockonly && mknod /tmp/blockonly/sdb b $(tr ':' ' ' </sys/block/sdb/dev)
  check "B answers again" 0 "" poll 60 env KESTRIN_DEVICE_DIR=/dev "$kestrin" B:
  hang_run /tmp/blockonly
  echo "bench dead device through the block node: $took s"
fi

finish
