# Helpers for the guest test scripts (sourced; bash).
#   check NAME EXPECTED_STATUS EXPECTED_OUTPUT COMMAND...  runs the command and
#       compares its exit status and its whole standard output and error;
#       a mismatch is told and counted, and check's own status is then 1
#   wait_for PATH [SECONDS]   waits until PATH exists (default 10 s)
#   poll SECONDS COMMAND...   runs COMMAND every 0.1 s until it succeeds, for
#                             at most SECONDS (scaled, see below); its last
#                             exit status, and after the last try a line
#                             saying how long it waited
#   scaled SECONDS            SECONDS (a whole number or with one decimal)
#                             times the guest's slowness, with one decimal
#   finish                    exits 0 when every check held, else 1
#   nobody COMMAND...         runs COMMAND as uid/gid 65534 without groups
# Emulated devices, with $kestrin and $sock_dir set by the script:
#   run_on DIR ARGS...        kestrin LETTER: ARGS (LETTER from $drive, default
#                             A) against the devices of DIR, in a working folder
#                             of that road's own; its standard output only
#   same NAME ARGS...         the run over the socket ($sock_dir) and through
#                             the kernel's node (/dev) give the same standard
#                             output and exit code
# The two roads, with $flashsim set by the script:
#   start_roads [--device DEVICE...]  makes $sock_dir and $usb_dir and starts a
#                             daemon in each: the socket road with the given
#                             devices, the USB/IP one (devices attached to the
#                             kernel); stop_roads, run on exit, stops both
#   both NAME COMMAND ARGS... flashsim COMMAND --dir DIR ARGS for each road
# A station window's state text (lumivar with LUMIVAR_SNAPSHOT_DIR=DIR):
#   window_text DIR           the whole text (empty before the first one)
#   window_rows DIR           its row lines, looked at again briefly while absent
#   window_shows DIR REGEX    the text has a line matching REGEX
# Time limits: every figure a script gives is what a guest at full speed
# needs with room to spare; the rig measured how much slower this guest is
# (RIG_SLOWNESS, see run_guest.sh), and poll, wait_for, window_rows and scaled
# stretch each limit by that, on the clock. A bound that is about the tool's
# own time-outs is not scaled.
failures=0

# Limits and pauses without starting a process (each costs the guest dearly).
# tenths NUMBER: a whole number or one with one decimal, in tenths, in $REPLY.
tenths() {
  local whole=${1%.*} tenth=0
  [ "$whole" = "$1" ] || tenth=${1#*.}
  REPLY=$((10#$whole * 10 + 10#$tenth))
}
tenths "${RIG_SLOWNESS:-1.0}"
slowness=${RIG_SLOWNESS:-1.0} slowness_tenths=$REPLY
# deadline_after SECONDS: the clock in microseconds when SECONDS scaled have
# passed from now, in $REPLY.
deadline_after() {
  tenths "$1"
  REPLY=$((${EPOCHREALTIME/./} + REPLY * slowness_tenths * 10000))
}
past() { [ "${EPOCHREALTIME/./}" -ge "$1" ]; }
scaled() { tenths "$1"; REPLY=$(((REPLY * slowness_tenths + 9) / 10)); echo "$((REPLY / 10)).$((REPLY % 10))"; }
# nap: 0.1 s, waiting on a pipe that nothing writes.
exec {nap_fd}<> <(:)
nap() { read -rt 0.1 -u "$nap_fd" _ || true; }

check() {
  local name="$1" want_status="$2" want_output="$3"
  shift 3
  local output status=0
  output=$("$@" 2>&1) || status=$?
  if [ "$status" = "$want_status" ] && [ "$output" = "$want_output" ]; then
    echo "ok    $name"
  else
    echo "FAIL  $name"
    echo "      command:  $*"
    echo "      expected: status $want_status, output $(printf %q "$want_output")"
    echo "      got:      status $status, output $(printf %q "$output")"
    failures=$((failures + 1))
    return 1
  fi
}

poll() {
  local limit=$1 start=${EPOCHREALTIME/./} deadline waited
  deadline_after "$limit"
  deadline=$REPLY
  shift
  until "$@"; do
    if past "$deadline"; then
      waited=$(((${EPOCHREALTIME/./} - start) / 100000))
      echo "poll: gave up after $((waited / 10)).$((waited % 10)) s ($limit s at full speed, slowness $slowness)"
      return 1
    fi
    nap
  done
}

wait_for() {
  local said
  said=$(poll "${2:-10}" test -e "$1") || { echo "FAIL  $1 did not appear: $said"; failures=$((failures + 1)); return 1; }
}

nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

run_on() {
  local dir="$1" cwd="/tmp/road${1//\//_}"
  shift
  mkdir -p "$cwd" && (cd "$cwd" && KESTRIN_DEVICE_DIR="$dir" "$kestrin" "${drive:-A}:" "$@" 2>/dev/null)
}

same() {
  local name="$1" want status=0
  shift
  want=$(run_on "$sock_dir" "$@") || status=$?
  check "$name (socket: status $status)" "$status" "$want" run_on /dev "$@"
}

start_roads() {
  usb_dir=$(mktemp -d /tmp/usb.XXXXXX)
  sock_dir=$(mktemp -d /tmp/sock.XXXXXX)
  trap stop_roads EXIT
  check "socket daemon starts" 0 "" "$flashsim" serve --dir "$sock_dir" "$@"
  check "USB daemon starts" 0 "" "$flashsim" serve --dir "$usb_dir"
}

stop_roads() {
  "$flashsim" stop --dir "$usb_dir" >/dev/null 2>&1
  "$flashsim" stop --dir "$sock_dir" >/dev/null 2>&1
}

both() {
  local name="$1" command="$2"
  shift 2
  check "$name" 0 "" "$flashsim" "$command" --dir "$usb_dir" "$@"
  check "$name (socket)" 0 "" "$flashsim" "$command" --dir "$sock_dir" "$@"
}

# The window's lines in the array text_lines (none while the file is absent);
# read by the shell itself, since these are looked at again and again.
window_lines() {
  text_lines=()
  [ -r "$1/lumivar.txt" ] && mapfile -t text_lines <"$1/lumivar.txt" 2>/dev/null
  [ "${#text_lines[@]}" -gt 0 ]
}

window_text() { window_lines "$1" && printf '%s\n' "${text_lines[@]}"; }

window_rows() {
  local line rows=()
  deadline_after 2
  until window_lines "$1" || past "$REPLY"; do nap; done
  for line in "${text_lines[@]}"; do
    [[ $line == Row* ]] && rows+=("$line")
  done
  [ "${#rows[@]}" -eq 0 ] || printf '%s\n' "${rows[@]}"
}

window_shows() {
  local line
  window_lines "$1" || return 1
  for line in "${text_lines[@]}"; do
    [[ $line =~ $2 ]] && return 0
  done
  return 1
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks held"
  exit 0
}
