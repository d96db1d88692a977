#!/bin/bash
# Guest suite: kestrin.exe, the tool's Windows form, under Wine through the
# kernel's SCSI generic nodes of emulated devices attached over USB/IP: Wine
# turns the Windows pass-through records into SG_IO. Each width whose Wine
# this machine has (x86_64: wine64; i686: wine32) gets three devices of its
# own, twins of three devices the Linux kestrin gets, and every command must
# give the same output (line ends aside) and exit code on both, and leave the
# same vendor commands in the twins' traces. Then the failures the platforms
# word differently, with the Windows texts, and the station's launcher
# (launcher_check.exe --drive) through kestrin.exe.
#   windows_road.sh BIN_DIR WIN_DIR
# BIN_DIR: kestrin and flashsim. WIN_DIR: tool/windows/build.sh's output
# (i686/, x86_64/) with the Wine prefix that windows_road_prepare.sh made on
# the host (WIN_DIR/wineprefix). Runs under run_guest.sh --writable-root (Wine
# writes into its prefix) --disk 8 (a SCSI disk that is no flash device).
set -u
source "$(dirname "$0")/lib.sh"
kestrin="$1/kestrin"
flashsim="$1/flashsim"
win="$2"
export WINEPREFIX="$win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

loader_for() { case "$1" in x86_64) echo /usr/lib/wine/wine64 ;; i686) echo /usr/lib/wine/wine ;; esac; }
roads=(linux)
skipped=""
for arch in x86_64 i686; do
  loader=$(loader_for "$arch")
  if [ -x "$loader" ] && [ -f "$win/$arch/kestrin.exe" ]; then
    roads+=("$arch")
  else
    note=/var/cache/blankcheck-station/wine32-unavailable
    skipped+="SKIP  $arch: $loader or $win/$arch/kestrin.exe missing$([ -s "$note" ] && echo ": $(cat "$note")")"$'\n'
  fi
done
printf '%s' "$skipped"
[ "${#roads[@]}" -gt 1 ] || { echo "no Wine to run kestrin.exe"; exit 1; }

# A: the smallest NAND with room for the firmware area, with a factory-bad,
# an erase-failing, a program-failing, a read-failing and a bit-error block;
# its version makes move not due. B: move due. C: as A, but most of the
# firmware area factory-bad, so that a blank check of the whole device stays
# short.
faulty="blocks=24,pages=128,pagesize=2048,erase_fail=2,program_fail=3,read_fail=4,bit_error=5"
checking_ms=$(awk -v s="$RIG_SLOWNESS" 'BEGIN { printf "%d", 15000 * s }')
declare -A profile=(
  [A]="$faulty,bad=1,blankcheck_ms=$checking_ms"
  [B]="blocks=256,version=ZANQ006GAD,blankcheck_ms=3000"
  [C]="$faulty,bad=1/9/10/11/12/13/14/15/16/17/18/19/20/21"
)
declare -A drive_letters=([linux]="" [x86_64]="K L M" [i686]="P Q R")

usb_dir=$(mktemp -d /tmp/usb.XXXXXX)
at_exit quietly "$flashsim" stop --dir "$usb_dir"
check "USB daemon starts" 0 "" "$flashsim" serve --dir "$usb_dir"

# The devices, attached one after another: sim_letter[ROAD.P] is the flashsim
# letter of road ROAD's twin of profile P, drive[ROAD.P] the drive letter its
# tool is given.
declare -A sim_letter drive
disks() { ls /sys/block | grep '^sd'; }
new_disk() { comm -13 <(echo "$1") <(disks) | grep -q .; }  # new_disk BEFORE
generic_node() { echo "/dev/$(ls "/sys/block/$1/device/scsi_generic")"; }
letters=(A B C D E F G H I)
n=0
for road in "${roads[@]}"; do
  wine_letters=(${drive_letters[$road]})
  i=0
  for p in A B C; do
    letter=${letters[n]}
    before=$(disks)
    check "attach $road's $p ($letter)" 0 "" "$flashsim" attach --dir "$usb_dir" "$letter:${profile[$p]}" || finish
    check "its disk appears" 0 "" poll 20 new_disk "$before" || finish
    disk=$(comm -13 <(echo "$before") <(disks))
    poll 10 test -e "/sys/block/$disk/device/scsi_generic" >/dev/null
    sim_letter[$road.$p]=$letter
    if [ "$road" = linux ]; then
      drive[$road.$p]=${disk#sd}
      drive[$road.$p]=${drive[$road.$p]^^}
    else
      drive[$road.$p]=${wine_letters[i]}
      ln -sfn "$(generic_node "$disk")" "$WINEPREFIX/dosdevices/${wine_letters[i],,}::"
    fi
    i=$((i + 1)) n=$((n + 1))
  done
done
# A drive that is a folder, and a drive that is a SCSI disk but no flash device.
mkdir -p /tmp/folder_drive
ln -sfn /tmp/folder_drive "$WINEPREFIX/dosdevices/x:"
plain_disk=$(for d in $(disks); do [ "$(tr -d ' ' <"/sys/block/$d/device/vendor")" = QEMU ] && echo "$d"; done)
ln -sfn "$(generic_node "$plain_disk")" "$WINEPREFIX/dosdevices/s::"

# One wineserver for every run (Wine's first start is its slowest).
wineserver -p
at_exit quietly wineserver -k

# run_road ROAD DRIVE ARGS...: the tool on that road, in a working folder of
# the road's own; its standard output without carriage returns.
run_road() {
  local road="$1" letter="$2" cwd="/tmp/road_$1"
  shift 2
  mkdir -p "$cwd"
  if [ "$road" = linux ]; then
    (cd "$cwd" && KESTRIN_DEVICE_DIR=/dev "$kestrin" "$letter:" "$@" 2>/dev/null)
  else
    (cd "$cwd" && "$(loader_for "$road")" "$win/$road/kestrin.exe" "$letter:" "$@" 2>/dev/null | tr -d '\r'
     exit "${PIPESTATUS[0]}")
  fi
}
# same NAME P ARGS...: the command on every road's twin of profile P gives
# the Linux tool's output and exit code.
same() {
  local name="$1" p="$2" want status=0 road
  shift 2
  want=$(run_road linux "${drive[linux.$p]}" "$@") || status=$?
  for road in "${roads[@]:1}"; do
    check "$name ($road; Linux: status $status)" "$status" "$want" run_road "$road" "${drive[$road.$p]}" "$@"
  done
}
vendor_trace() {  # vendor_trace ROAD P: the twin's vendor commands, without times
  "$flashsim" trace --dir "$usb_dir" "${sim_letter[$1.$2]}" | awk '$2 ~ /^E[EF]/ { $1 = ""; print }'
}

# ---- every command, Linux against Windows ----
images=(a.bin b.bin c.bin d.bin)
for road in "${roads[@]}"; do
  mkdir -p "/tmp/road_$road"
  { printf 'ZANQ005'; seq 1 700; } >"/tmp/road_$road/a.bin"
  seq 1000 1030 >"/tmp/road_$road/b.bin"
  : >"/tmp/road_$road/c.bin"
  seq 5000 5500 >"/tmp/road_$road/d.bin"
done

same "probe" A
same "rdc 8192 (the version)" A rdc 8192
same "rdx 9598 (the geometry)" A rdx 9598
same "wtx" A wtx 4096 1 2 3 254 255
same "rdx after wtx" A rdx 4096
same "era 0 3 (block 2 fails)" A era 0 3
same "move not due" A move
# The device's own check runs for checking_ms from its bchks: a poll while
# it runs, and one once every road's check is over (no polls between, so
# that the twins' traces stay alike).
same "bchks" A bchks 247 247 255 255
last_start=$EPOCHREALTIME
same "bchkp while the check runs" A bchkp
for road in "${roads[@]}"; do
  check "timing bytes at $road's device" 0 "247 247 255 255" \
    "$flashsim" timings --dir "$usb_dir" "${sim_letter[$road.A]}"
done
sleep "$(awk -v s="$last_start" -v now="$EPOCHREALTIME" -v ms="$checking_ms" \
  'BEGIN { d = s + ms / 1000 + 1 - now; printf "%.1f", (d > 0 ? d : 0) }')"
same "bchkp once the check is over" A bchkp
same "eraa" A eraa
same "fwup with compare" A fwup "${images[@]}" 1
same "fwup without compare" A fwup "${images[@]}"
same "bchk of the whole device" C bchk
same "eraa 1 after bchk" C eraa 1
same "move due" B move
same "keyword in capitals" B BCHK
same "bchkp with nothing started" B bchkp
for road in "${roads[@]}"; do
  check "scratch file of $road as Linux's" 0 "" cmp "/tmp/road_linux/ZANQTMPV.VAR" "/tmp/road_$road/ZANQTMPV.VAR"
done
for road in "${roads[@]:1}"; do
  for p in A B C; do
    check "$road's $p received Linux's vendor commands" 0 "$(vendor_trace linux "$p")" vendor_trace "$road" "$p"
  done
done
for p in A B C; do
  check "Linux's $p has vendor commands in its trace" 0 "" test -n "$(vendor_trace linux "$p")"
done
same_plain() {
  local want status=0 road
  want=$(KESTRIN_DEVICE_DIR=/dev "$kestrin" "${plain_disk#sd}:" 2>/dev/null) || status=$?
  for road in "${roads[@]:1}"; do
    check "a SCSI disk that is no flash device ($road; Linux: status $status)" "$status" "$want" run_road "$road" S
  done
}
same_plain

# ---- the failures the platforms word differently ----
message() {  # message ROAD CODE: the system's text for CODE
  (cd "$win/$1" && "$(loader_for "$1")" ./platform_check.exe --message "$2" 2>/dev/null | tr -d '\r')
}
seconds_since() { awk -v a="$1" -v b="${EPOCHREALTIME}" 'BEGIN { printf "%.1f", b - a }'; }
for road in "${roads[@]:1}"; do
  # A drive letter that is a folder: it opens, and the first request fails.
  out=$(run_road "$road" X) && status=0 || status=$?
  code=$(sed -nE '1s/^Error: ([0-9]+)  .*/\1/p' <<<"$out")
  check "$road: drive X: is a folder: 'Error: N  ' and the system's text, exit 1" 0 \
    "1 Error: $code  $(message "$road" "${code:-0}")" echo "$status $out"
  # A drive letter that names nothing.
  check "$road: drive N: names nothing" 1 "CreateFile, Error opening N:. Error: 2
$(message "$road" 2)" run_road "$road" N
done

# The station's launcher through kestrin.exe: a probe, then a whole blank
# check (B's own, 3 s).
for road in "${roads[@]:1}"; do
  letter=${drive[$road.B]}
  out=$(cd "$win/$road" && "$(loader_for "$road")" launcher/launcher_check.exe --drive "$letter" 2>/dev/null |
        tr -d '\r')
  check "$road: the station's launcher checks $letter: through kestrin.exe: $(tail -n 1 <<<"$out")" 0 "" \
    grep -qzE "^ProbeDrive\\($letter\\): true
StartBlankCheck\\($letter, 247, 247, 255, 255\\): true
WaitBlankCheck\\($letter\\): true, bar 0( [0-9]+)+
\$" <<<"$out"
  check "$road: the launcher's probe of a folder drive fails" 1 "ProbeDrive(X): false" \
    bash -c "cd '$win/$road' && '$(loader_for "$road")' launcher/launcher_check.exe --drive X 2>/dev/null | tr -d '\r'; exit \${PIPESTATUS[0]}"
done

# A device pulled out in the middle of a blank check of its 256 blocks (B):
# the run ends at once with the system's error code.
for road in "${roads[@]:1}"; do
  # Straight into the file (through no pipe that would hold it back), so
  # that the walk can be watched.
  out=/tmp/pull_$road.out
  (cd "/tmp/road_$road" && exec "$(loader_for "$road")" "$win/$road/kestrin.exe" "${drive[$road.B]}:" bchk \
    >"$out" 2>/dev/null) &
  pid=$!
  check "$road: bchk under way" 0 "" poll 60 grep -q '^Block 0002:' "$out"
  pulled=$EPOCHREALTIME
  check "$road: pull B out" 0 "" "$flashsim" unplug --dir "$usb_dir" "${sim_letter[$road.B]}"
  status=0
  wait "$pid" || status=$?
  took=$(seconds_since "$pulled")
  last=$(tail -n 1 "$out" | tr -d '\r')
  check "$road: bchk ends with exit 1 and ' Error: N' within 20 s of the pull ($took s): $last" 0 "1 yes yes" \
    echo "$status $(grep -Eq ' Error: [0-9]+$' <<<"$last" && echo yes) $(awk -v t="$took" 'BEGIN { print (t <= 20 ? "yes" : "no") }')"
done

# A device that stops answering (C): every request ends on its own 20 s time-out
# (Wine reports a request that timed out as completed, without data: the
# probe's INQUIRY then fails). Linux, for comparison: the time-out's error.
for road in "${roads[@]}"; do
  check "$road's C stops answering" 0 "" "$flashsim" fault --dir "$usb_dir" "${sim_letter[$road.C]}" hang_after=0
  start=$EPOCHREALTIME
  { run_road "$road" "${drive[$road.C]}" >"/tmp/hang_$road.out"
    echo "$? $(seconds_since "$start")" >"/tmp/hang_$road.status"; } &
done
wait
for road in "${roads[@]}"; do
  read -r status took <"/tmp/hang_$road.status"
  if [ "$road" = linux ]; then
    check "linux: dead device: the time-out's error, within 25 s ($took s)" 0 "1 Error: 110  Connection timed out yes" \
      echo "$status $(cat /tmp/hang_linux.out) $(awk -v t="$took" 'BEGIN { print (t <= 25 ? "yes" : "no") }')"
  else
    check "$road: dead device: cmd_bInquiry() fail! after two 20 s time-outs ($took s)" 0 "1 cmd_bInquiry() fail! yes" \
      echo "$status $(cat "/tmp/hang_$road.out") $(awk -v t="$took" -v most="$(scaled 50)" 'BEGIN { print (t >= 39 && t <= most ? "yes" : "no") }')"
  fi
done

printf '%s' "$skipped"
finish
