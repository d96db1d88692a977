#!/usr/bin/env bash
# A shift of the station, as a benchmark (run by hand, not by CTest):
# lumivar, headless, against flashsim's socket for N devices in rounds of
# eight. In every round eight devices are plugged; by their number a quarter
# refuse to start their check, one in seven of the others is pulled in the
# middle of its check (once the rest of the round has its verdicts), and the
# rest pass; then all are unplugged and the rows are free again. After each
# round it prints the window's resident memory, threads, open descriptors
# and child processes (zombies among them) and the counters; at the end the
# counters against those the mix must give.
#
#   station/bench/shift_soak.sh [-n DEVICES] [-c CHECK_MS] BIN_DIR
#
# BIN_DIR holds lumivar, kestrin and flashsim (build/bin). DEVICES, a multiple
# of eight, defaults to 800; CHECK_MS, how long a passing device checks, to
# 1500. Exit status 0 when the counters are the expected ones.
set -euo pipefail
source "$(dirname "$0")/../../scripts/shell_helpers.sh"
say_as=shift_soak

devices=800
check_ms=1500
while getopts n:c: option; do
  case $option in
    n) devices=$OPTARG ;;
    c) check_ms=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] || { echo "usage: shift_soak.sh [-n DEVICES] [-c CHECK_MS] BIN_DIR" >&2; exit 2; }
[[ $devices =~ ^[1-9][0-9]*$ ]] && [ $((devices % 8)) -eq 0 ] || { echo "shift_soak: DEVICES is a multiple of 8" >&2; exit 2; }
[[ $check_ms =~ ^[1-9][0-9]*$ ]] || { echo "shift_soak: CHECK_MS is a whole number" >&2; exit 2; }
bin=$(cd "$1" && pwd)
for program in lumivar kestrin flashsim; do
  [ -x "$bin/$program" ] || { echo "shift_soak: no $program in $bin" >&2; exit 2; }
done

work=$(mktemp -d /tmp/shift-soak.XXXXXX)
dev="$work/dev" snap="$work/snapshots"
mkdir -p "$dev" "$snap" "$work/station"
at_exit rm -rf "$work"
"$bin/flashsim" serve --dir "$dev"
at_exit quietly "$bin/flashsim" stop --dir "$dev"
(cd "$work/station" && exec env QT_QPA_PLATFORM=offscreen KESTRIN_DEVICE_DIR="$dev" LUMIVAR_SNAPSHOT_DIR="$snap" \
  "$bin/lumivar" >"$work/lumivar.log" 2>&1) &
station=$!
at_exit stop_process "$station"

counter() { window_text "$snap" | awk -v k="$1" '$1 == k { print $2 }'; }
# see REGEX SECONDS: the window's state comes to have a line matching REGEX.
see() {
  poll "$2" window_shows "$snap" "$1" >/dev/null && return
  say "waited in vain for: $1"
  window_text "$snap" || true
  cat "$work/lumivar.log"
  exit 1
}
# rows_free N: N rows read "Waiting device...". (A pulled device's row is
# freed when it goes, and its job writes its verdict there afterwards.)
rows_free() { [ "$(window_rows "$snap" | grep -c 'Waiting device\.\.\.$')" = "$1" ]; }
# The window's children, and the zombies among them.
children() {
  local stat rest kids=0 zombies=0
  for stat in /proc/[0-9]*/stat; do
    read -r rest <"$stat" 2>/dev/null || continue
    rest=${rest##*) }   # "STATE PPID ..." after the command's name
    set -- $rest
    if [ "$2" = "$station" ]; then
      kids=$((kids + 1))
      [ "$1" != Z ] || zombies=$((zombies + 1))
    fi
  done
  echo "$kids $zombies"
}
field() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$station/status"; }

see '^Row 8: Waiting device\.\.\.$' 30
say "lumivar (pid $station) against $dev: $devices devices in rounds of eight, passing checks of $check_ms ms"
printf '%5s %7s %8s %7s %4s %8s %7s %6s %7s %5s %6s\n' round devices rss_kb threads fds children zombies total success fail secs
letters=(A B C D E F G H)
passes=0 refused=0 pulled=0
started=$SECONDS
for ((round = 1; round <= devices / 8; round++)); do
  round_started=$SECONDS
  total_before=$(counter Total)
  pull=()
  for k in "${!letters[@]}"; do
    n=$(((round - 1) * 8 + k))
    spec="${letters[k]}:blankcheck_ms=$check_ms"
    if [ $((n % 4)) -eq 1 ]; then
      spec="${letters[k]}:accepts_blankcheck=0"
      refused=$((refused + 1))
    elif [ $((n % 7)) -eq 3 ]; then
      spec="${letters[k]}:blankcheck_ms=3600000"
      pull+=("${letters[k]}")
      pulled=$((pulled + 1))
    else
      passes=$((passes + 1))
    fi
    "$bin/flashsim" plug --dir "$dev" "$spec"
  done
  see "^Total $((total_before + 8 - ${#pull[@]}))\$" 60
  for letter in "${pull[@]}"; do "$bin/flashsim" unplug --dir "$dev" "$letter"; done
  see "^Total $((total_before + 8))\$" 30
  for letter in "${letters[@]}"; do
    if ! printf '%s\n' "${pull[@]}" | grep -qx "$letter"; then "$bin/flashsim" unplug --dir "$dev" "$letter"; fi
  done
  poll 30 rows_free $((8 - ${#pull[@]})) >/dev/null || { say "the rows were not freed"; window_text "$snap"; exit 1; }
  read -r kids zombies < <(children)
  printf '%5d %7d %8d %7d %4d %8d %7d %6d %7d %5d %6d\n' "$round" "$((round * 8))" "$(field VmRSS)" \
    "$(field Threads)" "$(find "/proc/$station/fd" -mindepth 1 -maxdepth 1 | wc -l)" "$kids" "$zombies" \
    "$(counter Total)" "$(counter Success)" "$(counter Fail)" "$((SECONDS - round_started))"
done

total=$(counter Total) success=$(counter Success) fail=$(counter Fail)
say "$devices devices in $((SECONDS - started)) s: $passes to pass, $refused refusing their check, $pulled pulled mid-check"
echo "Total $total (expected $devices), Success $success (expected $passes), Fail $fail (expected $((refused + pulled)))"
[ "$total" = "$devices" ] && [ "$success" = "$passes" ] && [ "$fail" = $((refused + pulled)) ]
