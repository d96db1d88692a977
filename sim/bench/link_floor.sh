#!/usr/bin/env bash
# The emulator link against its floor. In each round, one after the other:
# the floor (link_pingpong: the same requests and answers, byte for byte, as
# bare round trips over a Unix stream socket between two processes), then
# `kestrin F: bchk` against `flashsim` for each build given. Prints the
# medians and the ratio of each build's bchk to the floor.
#
#   sim/bench/link_floor.sh [-r ROUNDS] [-n BLOCKS] [-c CPUS] BIN_DIR [BIN_DIR...]
#
# BIN_DIR holds kestrin and flashsim (e.g. build/bin); link_pingpong is taken
# from the first BIN_DIR that has it. BLOCKS (default 511) is the number of
# blocks the check walks; the device has one more. Give several BIN_DIRs to
# compare builds in the same run. CPUS (taskset's list, e.g. 0) keeps every
# process of the run on those CPUs; on a busy machine one CPU for both ends
# makes the rounds steadier (a different figure from two idle CPUs).
set -euo pipefail

rounds=5
blocks=511
pin=()
while getopts "r:n:c:" opt; do
  case $opt in
    r) rounds=$OPTARG ;;
    n) blocks=$OPTARG ;;
    c) pin=(taskset -c "$OPTARG") ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -eq 0 ]; then
  echo "usage: $0 [-r ROUNDS] [-n BLOCKS] [-c CPUS] BIN_DIR [BIN_DIR...]" >&2
  exit 2
fi
bins=()
floor=
for b in "$@"; do
  b=$(cd "$b" && pwd)
  for p in kestrin flashsim; do
    [ -x "$b/$p" ] || { echo "$0: no $p in $b" >&2; exit 2; }
  done
  [ -n "$floor" ] || { [ -x "$b/link_pingpong" ] && floor=$b/link_pingpong; } || true
  bins+=("$b")
done
[ -n "$floor" ] || { echo "$0: no link_pingpong in $*" >&2; exit 2; }

work=$(mktemp -d)
cleanup() {
  for i in "${!bins[@]}"; do
    "${bins[$i]}/flashsim" stop --dir "$work/d$i" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/run"
device="f:blocks=$((blocks + 1))"

for i in "${!bins[@]}"; do
  "${pin[@]}" "${bins[$i]}/flashsim" serve --dir "$work/d$i" --device "p:blocks=$((blocks + 1)),trace_limit=10000000"
done

# The floor's round trips: request header (32) + data out, answer header (12)
# + data in, as the device's trace of one bchk shows them.
(cd "$work/run" && KESTRIN_DEVICE_DIR="$work/d0" "${bins[0]}/kestrin" P: bchk >/dev/null)
"${bins[0]}/flashsim" trace --dir "$work/d0" p | awk '{
  cdb = $2; dir = $3; len = $4 + 0; outcome = $5
  answered = (dir == "in" && outcome != "checkcondition") ? len : 0
  if (substr(cdb, 1, 2) == "12" && answered > 36) answered = 36   # INQUIRY
  if (substr(cdb, 1, 2) == "25" && answered > 8) answered = 8     # READ CAPACITY
  print 32 + (dir == "out" ? len : 0), 12 + answered
}' >"$work/trips"
commands=$(wc -l <"$work/trips")

seconds() {  # runs "$@" quietly; prints its wall time
  local start=$EPOCHREALTIME
  "$@" >/dev/null || { echo "$0: failed: $*" >&2; exit 1; }
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f\n", b - a }'
}
replug() {  # BIN_DIR INDEX: a fresh device F
  "$1/flashsim" unplug --dir "$work/d$2" f 2>/dev/null || true
  "$1/flashsim" plug --dir "$work/d$2" "$device"
}
bchk() {  # BIN_DIR INDEX
  cd "$work/run" && KESTRIN_DEVICE_DIR="$work/d$2" "${pin[@]}" "$1/kestrin" F: bchk
}

declare -A times
for ((r = 1; r <= rounds; ++r)); do
  t=$(seconds "${pin[@]}" "$floor" "$work/trips")
  times[floor]+="$t "
  line="round $r: floor $t s"
  for i in "${!bins[@]}"; do
    replug "${bins[$i]}" "$i"
    t=$(seconds bchk "${bins[$i]}" "$i")
    times[$i]+="$t "
    line+=", bchk[$i] $t s"
  done
  echo "$line"
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratios() {  # median of the rounds' ratios of bchk to the floor
  paste -d' ' <(tr ' ' '\n' <<<"${times[$1]}" | grep .) <(tr ' ' '\n' <<<"${times[floor]}" | grep .) |
    awk '{ printf "%.4f ", $1 / $2 }' | median
}
f=$(median <<<"${times[floor]}")
echo "commands per run: $commands, rounds: $rounds"
printf "floor  %-40s median %6.3f s\n" "$(basename "$floor") (same bytes)" "$f"
for i in "${!bins[@]}"; do
  m=$(median <<<"${times[$i]}")
  printf "bchk[%d] %-39s median %6.3f s  ratio %.2f (median of the rounds' ratios %.2f)\n" \
    "$i" "${bins[$i]}" "$m" "$(awk -v a="$m" -v b="$f" 'BEGIN { print a / b }')" "$(ratios "$i")"
done
