# Helpers for the guest test scripts (sourced; bash), besides those of
# scripts/shell_helpers.sh (poll, wait_for, scaled, at_exit, the window's
# state text; their limits stretch with the guest's slowness).
#   check NAME EXPECTED_STATUS EXPECTED_OUTPUT COMMAND...  runs the command and
#       compares its exit status and its whole standard output and error;
#       a mismatch is told and counted, and check's own status is then 1
#   appears PATH [SECONDS]    check that PATH comes to exist (wait_for)
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
#                             kernel); both are stopped on exit
#   both NAME COMMAND ARGS... flashsim COMMAND --dir DIR ARGS for each road
source "$(dirname "${BASH_SOURCE[0]}")/../../../scripts/shell_helpers.sh"
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

appears() { check "$1 appears" 0 "" wait_for "$@"; }

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
  at_exit quietly "$flashsim" stop --dir "$usb_dir"
  at_exit quietly "$flashsim" stop --dir "$sock_dir"
  check "socket daemon starts" 0 "" "$flashsim" serve --dir "$sock_dir" "$@"
  check "USB daemon starts" 0 "" "$flashsim" serve --dir "$usb_dir"
}

both() {
  local name="$1" command="$2"
  shift 2
  check "$name" 0 "" "$flashsim" "$command" --dir "$usb_dir" "$@"
  check "$name (socket)" 0 "" "$flashsim" "$command" --dir "$sock_dir" "$@"
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks held"
  exit 0
}
