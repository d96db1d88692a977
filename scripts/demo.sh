#!/usr/bin/env bash
# The main job: the station against emulated devices.
#
# Builds only the three programs it runs (kestrin, lumivar, flashsim; the
# tests and benchmarks are scripts/test.sh's, which builds everything in the
# same build folder) and says how long that took. Starts flashsim in a fresh
# temporary directory and lumivar pointed at it (KESTRIN_DEVICE_DIR), then
# plugs devices in one after another: three supported ones that pass, one
# that is not supported (ignored silently), one that refuses to start its
# check (fail), and one that is unplugged in the middle of its check (fail).
# lumivar runs on the display when DISPLAY is set, headless otherwise. Its
# window snapshots (LUMIVAR_SNAPSHOT_DIR) give the screenshots and the
# counters printed at the end. Everything started here is stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/shell_helpers.sh
say_as=demo

BUILD="${DEMO_BUILD_DIR:-build}"   # another build directory may be named for a trial run
build_started=$SECONDS
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target kestrin lumivar flashsim
say "configured and built kestrin, lumivar and flashsim in $((SECONDS - build_started)) s"

BIN="$(cd "$BUILD" && pwd)/bin"
SHOTS="$(cd "$BUILD" && pwd)/artifacts/demo"
WORK=$(mktemp -d /tmp/lumivar-demo.XXXXXX)
DEV="$WORK/dev"
SNAP="$WORK/snapshots"
mkdir -p "$DEV" "$SNAP" "$WORK/station" "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.txt

at_exit rm -rf "$WORK"
at_exit quietly "$BIN/flashsim" stop --dir "$DEV"

sim() { "$BIN/flashsim" "$@" --dir "$DEV"; }
plug() { say "plug $1"; "$BIN/flashsim" plug --dir "$DEV" "$1"; }

# The window's latest state text, once it exists.
state() { window_text "$SNAP" || true; }
counter() { state | awk -v k="$1" '$1 == k { print $2 }'; }

# Keeps the window's current picture under a name of its own.
shot() {
  sleep 1.2   # let the next snapshot catch up with what just happened
  cp "$SNAP/lumivar.png" "$SHOTS/$1.png"
  cp "$SNAP/lumivar.txt" "$SHOTS/$1.txt"
  say "screenshot $SHOTS/$1.png"
}

# Waits until the state text has a line matching an extended regular expression.
see() {  # see REGEX SECONDS
  poll "$2" window_shows "$SNAP" "$1" >/dev/null || { say "timed out waiting for: $1"; state; return 1; }
}

"$BIN/flashsim" serve --dir "$DEV"
say "flashsim serves $DEV (no devices yet)"

if [ -n "${DISPLAY:-}" ]; then
  say "lumivar on display $DISPLAY"
  PLATFORM=()
else
  say "lumivar headless (QT_QPA_PLATFORM=offscreen)"
  PLATFORM=(QT_QPA_PLATFORM=offscreen)
fi
(cd "$WORK/station" && exec env "${PLATFORM[@]}" KESTRIN_DEVICE_DIR="$DEV" LUMIVAR_SNAPSHOT_DIR="$SNAP" \
   "$BIN/lumivar" >"$WORK/lumivar.log" 2>&1) &
at_exit stop_process "$!"   # closes the window
see '^Row 1: ' 20
shot 1-start

# Devices arrive over some seconds.
plug "E:blankcheck_ms=6000"
sleep 1
plug "F:supported=0"                  # not a supported device: no row
sleep 1
plug "G:blankcheck_ms=8000"
sleep 1
plug "H:accepts_blankcheck=0"         # refuses to start its check
sleep 1
plug "J:blankcheck_ms=60000"          # to be unplugged while it checks
sleep 1
plug "K:blankcheck_ms=5000"
see '^Row 5: Checking\.\.\.$' 20
sleep 2
shot 2-checking

say "unplug J in the middle of its check"
sim unplug J
see '^Total 5$' 60
shot 3-verdicts

say "unplug E: its row is free again"
sim unplug E
see '^Row 1: Waiting device\.\.\.$' 10
shot 4-row1-free

echo
echo "Counters and rows at the end (also in $SHOTS/4-row1-free.txt):"
state
echo
echo "Expected: Total 5, Success 3 (E, G, K), Fail 2 (H refused its check, J unplugged); F ignored."
[ "$(counter Total)" = 5 ] && [ "$(counter Success)" = 3 ] && [ "$(counter Fail)" = 2 ]
echo "Screenshots: $SHOTS/1-start.png 2-checking.png 3-verdicts.png 4-row1-free.png"
