# Helpers for the guest test scripts (sourced; bash), besides those of
# scripts/shell_helpers.sh (poll, wait_for, scaled, at_exit, the window's
# state text; their limits stretch with the guest's slowness).
#   check NAME EXPECTED_STATUS EXPECTED_OUTPUT COMMAND...  runs the command and
#       compares its exit status and its whole standard output and error;
#       a mismatch is told and counted, and check's own status is then 1
#   appears PATH [SECONDS]    check that PATH comes to exist (wait_for)
#   finish                    exits 0 when every check held, else 1
#   nobody COMMAND...         runs COMMAND as uid/gid 65534 without groups
#   install_packages DIR PACKAGE...  installs DIR/PACKAGE_*.deb as the packages
#                             would be: unpacked, then each one's postinst
#   rig_request WORDS...      asks the rig on the host for something (see
#                             run_guest.sh: a picture of the screen, a power
#                             cycle); true when it answers ok, else its answer
#                             on standard output
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
# Sticks of a flashsim USB/IP server on 127.0.0.1 (bus IDs 1-1 for A, 1-2 for B …):
#   busid LETTER              the bus ID of the stick LETTER
#   attach LETTER             attaches it with the stock usbip client (a
#                             failure is told and counted)
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

install_packages() {
  local dir="$1" control package deb
  shift
  control=$(mktemp -d)
  for package in "$@"; do
    deb=$(ls "$dir/${package}"_*.deb)
    check "unpack $package" 0 "" dpkg-deb -x "$deb" / || return 1
    check "control files of $package" 0 "" dpkg-deb -e "$deb" "$control/$package" || return 1
  done
  for package in "$@"; do
    if [ -x "$control/$package/postinst" ]; then
      check "$package's postinst" 0 "" "$control/$package/postinst" configure || return 1
    fi
  done
}

rig_request() {
  local answer
  rm -f "$RIG_SHARE/answer"
  echo "$*" >"$RIG_SHARE/request.new" && mv "$RIG_SHARE/request.new" "$RIG_SHARE/request" || return 1
  wait_for "$RIG_SHARE/answer" 60 || return 1
  read -r answer <"$RIG_SHARE/answer"
  [ "$answer" = ok ] || { echo "$answer"; return 1; }
}

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

busid() { echo "1-$(($(printf '%d' "'$1") - 64))"; }
attach() {  # attach LETTER: the stock client, tried again while another attach holds the port it chose
  local tries=5
  until usbip attach -r 127.0.0.1 -b "$(busid "$1")" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "FAIL  usbip attach $1"; failures=$((failures + 1)); return 1; }
    sleep 0.5
  done
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks held"
  exit 0
}
