# Helpers for the guest test scripts (sourced; bash).
#   check NAME EXPECTED_STATUS EXPECTED_OUTPUT COMMAND...  runs the command and
#       compares its exit status and its whole standard output and error;
#       a mismatch is told and counted, and check's own status is then 1
#   wait_for PATH [SECONDS]   waits until PATH exists (default 10 s)
#   poll SECONDS COMMAND...   runs COMMAND every 0.1 s until it succeeds, for
#                             at most SECONDS; its last exit status
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
failures=0

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
  local tenths=$(( $1 * 10 ))
  shift
  until "$@"; do
    [ "$tenths" -gt 0 ] || return 1
    sleep 0.1
    tenths=$((tenths - 1))
  done
}

wait_for() {
  poll "${2:-10}" test -e "$1" || { echo "FAIL  $1 did not appear"; failures=$((failures + 1)); return 1; }
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

window_text() { cat "$1/lumivar.txt" 2>/dev/null; }

window_rows() {
  local tries=20 text
  until text=$(window_text "$1" | grep '^Row') || [ "$tries" -eq 0 ]; do sleep 0.1; tries=$((tries - 1)); done
  echo "$text"
}

window_shows() { window_text "$1" | grep -Eq "$2"; }

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks held"
  exit 0
}
