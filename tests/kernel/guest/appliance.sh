#!/bin/bash
# Guest suite: the line machine as an appliance. The guest boots like an
# installed machine (systemd, a virtual display, its writable layer on a disk);
# the kestrin, lumivar and lumivar-kiosk packages are installed as
# line_machine.sh installs them, and the kiosk is enabled for an operator in
# the group kestrin. The screen is looked at through the rig (pictures taken
# by QEMU) and compared with the window's own picture of itself at the same
# moment. Emulated sticks come through the kernel's USB/IP client.
#   appliance.sh PACKAGE_DIR BIN_DIR
# PACKAGE_DIR holds the packages; BIN_DIR the build's flashsim and
# screen_match. Runs as rig-job.service (run_guest.sh --systemd --display
# --persistent-root): boot 1 installs, enables and checks the kiosk, then asks
# for a hard power cycle; boot 2 checks that the station came up by itself.
set -u
source "$(dirname "$0")/lib.sh"
packages="$1"
flashsim="$2/flashsim"
screen_match="$2/screen_match"
operator=lineop
unit=lumivar-kiosk@$operator.service
snap=/tmp/kiosk-window   # the window's pictures of itself (/etc/default/lumivar-kiosk)
begun=$(date +%s)
phase() { echo "      [$(($(date +%s) - begun)) s, boot $RIG_BOOT, up $(cut -d' ' -f1 /proc/uptime) s] $*"; }

station_pid() { pgrep -u "$operator" -x lumivar; }
compositor_pid() { systemctl show -P MainPID "$unit"; }
restarts() { systemctl show -P NRestarts "$unit"; }
# screen_is NAME: picture NAME of the screen shows the window as its own
# picture shows it, taken after the screen's, while its state text stayed
# the same: the whole window at its size, and nothing else on the screen.
screen_is() {
  local before said
  before=$(window_text "$snap") || { echo "no window state"; return 1; }
  said=$(rig_request screendump "$1") || { echo "$said"; return 1; }
  rm -f "$snap/lumivar.png" "$snap/lumivar.txt"
  wait_for "$snap/lumivar.txt" 3 >/dev/null && wait_for "$snap/lumivar.png" 3 >/dev/null ||
    { echo "no new picture of the window"; return 1; }
  [ "$(window_text "$snap")" = "$before" ] || { echo "the window changed meanwhile"; return 1; }
  said=$("$screen_match" "$RIG_SHARE/screens/$1.png" "$snap/lumivar.png") || { echo "$said"; return 1; }
}
fresh() { window_shows "$snap" '^Total 0$' && window_shows "$snap" '^Row 8: Waiting device\.\.\.$'; }
# back_on_screen NAME SINCE: pictures of the screen are taken from SINCE (the
# clock in microseconds) on until a fresh station (counters 0, every row
# free) has written its picture of itself and the screen shows it (picture
# NAME); then the earliest picture that shows it tells when it was back:
# tenths of a second after SINCE, in $back_after. False after 30 s.
back_on_screen() {
  local taken=() i
  deadline_after 30
  until fresh; do
    past "$REPLY" && { echo "no fresh station within 30 s"; return 1; }
    taken+=("${EPOCHREALTIME/./}")
    rig_request screendump "$1-${#taken[@]}" || return 1
  done
  taken+=("${EPOCHREALTIME/./}")
  screen_is "$1" || return 1
  for ((i = 1; i < ${#taken[@]}; i++)); do
    if "$screen_match" "$RIG_SHARE/screens/$1-$i.png" "$snap/lumivar.png" >/dev/null; then break; fi
  done
  back_after=$(((taken[i - 1] - $2) / 100000))
  rm -f "$RIG_SHARE/screens/$1"-*.png
}
# comes_back WHAT NAME SINCE SECONDS: back_on_screen within SECONDS (scaled).
comes_back() {
  local limit
  limit=$(scaled "$4")
  if back_on_screen "$2" "$3"; then
    check "$1: back on the screen within $limit s (after $((back_after / 10)).$((back_after % 10)) s)" 0 "" \
      test "$back_after" -le "$((10#${limit/./}))"
  else
    check "$1: back on the screen" 0 "" false
  fi
}

if [ "$RIG_BOOT" = 1 ]; then
  phase "booted"
  check "the system is up" 0 "running" systemctl is-system-running --wait || systemctl --failed --no-pager
  install_packages "$packages" kestrin lumivar lumivar-kiosk || finish
  check "an operator in the group" 0 "" bash -c "adduser --quiet --disabled-password --gecos '' $operator &&
    adduser --quiet $operator kestrin"
  check "an operator outside it" 0 "" adduser --quiet --disabled-password --gecos "" outsider
  phase "installed"

  # Enabling checks the account first and changes nothing when it refuses.
  while IFS='|' read -r account reason; do
    check "enable $account is refused" 1 "lumivar-kiosk: $reason" lumivar-kiosk enable "$account"
  done <<'EOF'
outsider|outsider is not a member of the group kestrin, which the station needs to reach the drives (adduser outsider kestrin)
root|root is a root account (uid 0): the kiosk runs for an ordinary operator account
nosuch|there is no account nosuch (make one: adduser nosuch)
EOF
  check "nothing enabled by them" 0 "" bash -c '! ls /etc/systemd/system/multi-user.target.wants | grep -q lumivar-kiosk'

  echo "LUMIVAR_SNAPSHOT_DIR=$snap" >/etc/default/lumivar-kiosk
  check "enable $operator" 0 "lumivar-kiosk: enabled for $operator: the station is on tty1 now and after every boot" \
    lumivar-kiosk enable "$operator"
  check "the window is up" 0 "" poll 90 window_shows "$snap" '^Row 8: Waiting device\.\.\.$' || {
    journalctl -b -u "$unit" --no-pager | tail -n 20
    finish
  }
  phase "kiosk up"
  check "the screen shows the station" 0 "" poll 10 screen_is start || finish
  check "the operator's session holds the seat" 0 "$operator seat0 tty1" \
    bash -c "loginctl list-sessions --no-legend | awk '{ print \$3, \$4, \$5 }'"

  # Three sticks, one at a time: two pass, one refuses its check.
  sim_dir=$(mktemp -d /tmp/sim.XXXXXX)
  check "flashsim serves USB/IP" 0 "" "$flashsim" serve --dir "$sim_dir" --usbip 127.0.0.1:3240 || finish
  "$flashsim" plug --dir "$sim_dir" A:blocks=32,blankcheck_ms=2500
  "$flashsim" plug --dir "$sim_dir" B:blocks=32,blankcheck_ms=2500
  "$flashsim" plug --dir "$sim_dir" C:blocks=32,accepts_blankcheck=0
  "$flashsim" plug --dir "$sim_dir" D:blocks=32,blankcheck_ms=3600000
  row=1
  for letter in A B C; do
    attach "$letter"
    check "$letter takes row $row" 0 "" poll 60 window_shows "$snap" "^Row $row: Checking\.\.\." || finish
    row=$((row + 1))
  done
  check "two passes and a refusal" 0 "" poll 60 window_shows "$snap" '^Total 3$' || finish
  check "A and B successful, C failed" 0 $'Row 1: successful\nRow 2: successful\nRow 3: Checking...fail' \
    grep '^Row [123]:' "$snap/lumivar.txt"
  check "the screen shows the verdicts" 0 "" poll 10 screen_is verdicts
  phase "two successful on the screen"
  # A fourth still checking: every state of a row on one screen.
  attach D
  check "D takes row 4" 0 "" poll 60 window_shows "$snap" '^Row 4: Checking\.\.\.$'
  sleep "$(scaled 3)"
  check "a picture of every state" 0 "" rig_request screendump kiosk

  # The window killed, or closed (SIGTERM, as the operator's close): a fresh
  # window in the same compositor, on the screen within 5 s.
  compositor=$(compositor_pid)
  for signal in KILL TERM; do
    pid=$(station_pid)
    ended=${EPOCHREALTIME/./}
    kill -"$signal" "$pid"
    rm -f "$snap/lumivar.txt" "$snap/lumivar.png"
    comes_back "SIG$signal" "after-$signal" "$ended" 5
    check "SIG$signal: a new window" 0 "" test "$(station_pid)" != "$pid"
  done
  check "the same compositor all along" 0 "$compositor" compositor_pid
  # The compositor killed: systemd starts the kiosk again.
  before=$(restarts)
  ended=${EPOCHREALTIME/./}
  kill -KILL "$compositor"
  rm -f "$snap/lumivar.txt" "$snap/lumivar.png"
  comes_back "the compositor killed" after-compositor "$ended" 15
  check "the kiosk restarted by systemd" 0 "$((before + 1))" restarts

  # Switched off hard; the next boot goes on below.
  phase "power off"
  rig_request power-cycle
  sleep infinity
fi

# Boot 2: nobody logs in, the station comes up by itself.
phase "booted again"
check "the window is up after the boot" 0 "" poll 120 window_shows "$snap" '^Row 8: Waiting device\.\.\.$' || {
  journalctl -b -u "$unit" --no-pager | tail -n 20
  finish
}
check "the screen shows the station after the boot" 0 "" poll 10 screen_is second-boot
phase "station on the screen"
check "only the kiosk's session" 0 "$operator seat0 tty1" \
  bash -c "loginctl list-sessions --no-legend | awk '{ print \$3, \$4, \$5 }'"

# Disabled: tty1 shows the login prompt again.
check "disable $operator" 0 "lumivar-kiosk: disabled for $operator: tty1 shows the login prompt" \
  lumivar-kiosk disable "$operator"
check "the station is gone" 0 "" poll 10 bash -c "! pgrep -u $operator -x lumivar >/dev/null"
check "the login prompt is back" 0 "active" systemctl is-active getty@tty1.service
check "not enabled any more" 1 "disabled" systemctl is-enabled "$unit"
finish
