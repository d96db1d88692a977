#!/bin/bash
# The tool against the floor of the kernel's road, in a guest:
#
#   tests/kernel/run_guest.sh tests/kernel/bench/sgio_floor.sh [-r ROUNDS] [-d DEVICE] [-s] BIN_DIR [OTHER_BIN_DIR...] [-- WALK...]
#
# flashsim attaches an emulated device (DEVICE, default "A:blocks=256") to the
# guest's kernel over USB/IP; it becomes /dev/sda with its SCSI generic node.
# One run of `kestrin A: WALK` (default `era 0 200`) warms up and leaves its
# commands in the device's trace: those are the floor's requests. Each round
# (5 by default) then times sgio_floor (the same SG_IO calls through the same
# node, with nothing between them; built beside kestrin) and `kestrin A: WALK`
# of each build given, one after the other, the floor first in odd rounds and
# last in even ones; each as a whole process, with its output thrown away. Prints each round, the medians, and the ratio
# of each build's kestrin to the floor (also the median of the rounds' own
# ratios); sgio_floor's own count of the calls alone is given beside it.
# -s adds a system call summary (strace -c -f) of one run of each afterwards.
set -u
source "$(dirname "$0")/../guest/lib.sh"
rounds=5
device="A:blocks=256"
syscalls=0
while getopts "r:d:s" opt; do
  case $opt in
    r) rounds=$OPTARG ;;
    d) device=$OPTARG ;;
    s) syscalls=1 ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
bins=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do bins+=("$1"); shift; done
[ $# -gt 0 ] && shift
walk=("$@")
[ ${#walk[@]} -gt 0 ] || walk=(era 0 200)
if [ ${#bins[@]} -eq 0 ]; then
  echo "usage: sgio_floor.sh [-r ROUNDS] [-d DEVICE] [-s] BIN_DIR [OTHER_BIN_DIR...] [-- WALK...]" >&2
  exit 2
fi
flashsim="${bins[0]}/flashsim"
floor="${bins[0]}/sgio_floor"
for program in "$flashsim" "$floor" "${bins[@]/%//kestrin}"; do
  [ -x "$program" ] || { echo "sgio_floor.sh: no $program (sgio_floor: build its target)" >&2; exit 2; }
done
letter=${device%%:*}
letter=${letter^^}

usb_dir=$(mktemp -d /tmp/usb.XXXXXX)
at_exit quietly "$flashsim" stop --dir "$usb_dir"
"$flashsim" serve --dir "$usb_dir" || exit 1
"$flashsim" attach --dir "$usb_dir" "$device" || exit 1
wait_for /dev/sda 20 || exit 1
node=/dev/$(ls /sys/block/sda/device/scsi_generic)
work=$(mktemp -d /tmp/bench.XXXXXX)
cd "$work" || exit 1
export KESTRIN_DEVICE_DIR=/dev

# The walk's own commands: those the trace gained during one run.
before=$("$flashsim" trace --dir "$usb_dir" "$letter" | wc -l)
"${bins[0]}/kestrin" A: "${walk[@]}" >"$work/walk.out" ||
  { echo "sgio_floor.sh: kestrin A: ${walk[*]} failed:"; cat "$work/walk.out"; exit 1; }
"$flashsim" trace --dir "$usb_dir" "$letter" | tail -n +$((before + 1)) >"$work/requests"
requests=$(wc -l <"$work/requests")
"$floor" "$node" "$work/requests" >/dev/null || exit 1   # the floor warmed up too

milliseconds() {  # milliseconds OUT COMMAND...: its wall time, its standard output into OUT
  local out=$1 start=${EPOCHREALTIME/./} end
  shift
  "$@" >"$out" || { echo "sgio_floor.sh: failed: $*" >&2; exit 1; }
  end=${EPOCHREALTIME/./}
  echo $(((end - start) / 1000))
}
floors=() calls=()
declare -A tools ratios
run_floor() {
  f=$(milliseconds "$work/last" "$floor" "$node" "$work/requests")
  c=$(awk '{ printf "%d", $4 * 1000 }' "$work/last")
  floors+=("$f") calls+=("$c")
}
run_tools() {
  for i in "${!bins[@]}"; do
    times[$i]=$(milliseconds /dev/null "${bins[$i]}/kestrin" A: "${walk[@]}")
  done
}
for ((r = 1; r <= rounds; ++r)); do
  times=()
  if ((r % 2)); then run_floor; run_tools; else run_tools; run_floor; fi
  line="round $r: sgio_floor $f ms (calls $c ms)"
  for i in "${!bins[@]}"; do
    tools[$i]+="${times[$i]} " ratios[$i]+="$((times[$i] * 10000 / f)) "
    line+=", kestrin[$i] ${times[$i]} ms"
  done
  echo "$line"
done

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mf=$(median "${floors[@]}")
echo "requests per run: $requests (kestrin A: ${walk[*]} on $device through $node), rounds: $rounds"
awk -v f="$mf" -v c="$(median "${calls[@]}")" 'BEGIN {
  printf "floor      sgio_floor   median %7.3f s (the calls alone %.3f s)\n", f / 1000, c / 1000 }'
for i in "${!bins[@]}"; do
  # shellcheck disable=SC2086 # the figures are words
  awk -v f="$mf" -v t="$(median ${tools[$i]})" -v r="$(median ${ratios[$i]})" -v b="${bins[$i]}" -v i="$i" 'BEGIN {
    printf "kestrin[%d] %s  median %7.3f s  ratio %.3f (median of the rounds'"'"' ratios %.3f)\n", i, b, t / 1000, t / f, r / 10000 }'
done

if [ "$syscalls" = 1 ]; then
  echo "system calls of one run: sgio_floor"
  strace -c -o "$work/strace" "$floor" "$node" "$work/requests" >/dev/null && cat "$work/strace"
  echo "system calls of one run: kestrin[0]"
  strace -c -f -o "$work/strace" "${bins[0]}/kestrin" A: "${walk[@]}" >/dev/null && cat "$work/strace"
fi
