# Shell helpers of the project's scripts: scripts/demo.sh,
# packaging/install_test.sh and the guest suites (through
# tests/kernel/guest/lib.sh). Sourced; bash 5.
#   say TEXT...               "[NAME HH:MM:SS] TEXT" (NAME: $say_as, else the script's name)
#   at_exit COMMAND...        runs COMMAND when the script exits, the latest first;
#                             the script's exit status stays as it was
#   quietly COMMAND...        COMMAND with its output dropped
#   stop_process PID          SIGTERM, then SIGKILL after 5 s; waits for it when
#                             it is this shell's child, and gives its exit status
#   poll SECONDS COMMAND...   runs COMMAND every 0.1 s until it succeeds, for
#                             at most SECONDS (scaled, see below); its last
#                             exit status, and after the last try a line on
#                             standard output saying how long it waited
#   wait_for PATH [SECONDS]   polls until PATH exists (default 10 s); a line
#                             saying so when it gives up
#   scaled SECONDS            SECONDS (a whole number or with one decimal)
#                             times the slowness, with one decimal
# A station window's state text (lumivar with LUMIVAR_SNAPSHOT_DIR=DIR):
#   window_text DIR           the whole text (nothing before the first one)
#   window_rows DIR           its row lines, looked at again briefly while absent
#   window_shows DIR REGEX    the text has a line matching REGEX
# Time limits: every figure a script gives is what an unhurried machine needs
# with room to spare. In a guest the rig measured how much slower the guest
# is (RIG_SLOWNESS, see tests/kernel/run_guest.sh; 1.0 elsewhere), and poll,
# wait_for, window_rows and scaled stretch each limit by that, on the clock.
# Waits start no process of their own: in a slow guest each one costs dearly.

say() { printf '[%s %(%H:%M:%S)T] %s\n' "${say_as:-${0##*/}}" -1 "$*"; }

at_exit_commands=()
at_exit() {
  at_exit_commands+=("$(printf '%q ' "$@")")
  trap run_at_exit EXIT
}
run_at_exit() {
  local status=$? i
  for ((i = ${#at_exit_commands[@]} - 1; i >= 0; i--)); do
    eval "${at_exit_commands[i]}" || true
  done
  exit "$status"
}

quietly() { "$@" >/dev/null 2>&1; }

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
  said=$(poll "${2:-10}" test -e "$1") || { echo "$1 did not appear: $said"; return 1; }
}

stop_process() {
  local pid=$1 status=0
  kill -TERM "$pid" 2>/dev/null || true
  deadline_after 5
  while kill -0 "$pid" 2>/dev/null && ! past "$REPLY"; do nap; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || status=$?
  return "$status"
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
