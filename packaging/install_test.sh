#!/usr/bin/env bash
# Builds the Debian packages from a build folder, unpacks them into a fresh
# root and runs what was installed there:
#   - the packages and their control fields (names, dependencies);
#   - lintian with its default profile: no error and no warning;
#   - kestrin without arguments: its banner and exit code 1; lumivar-kiosk
#     without them: its usage and exit code 2;
#   - the station headless through its launcher, against the installed
#     emulator: one device plugged in, checked to its verdict;
#   - every manual page formats without a warning, and the desktop entry is valid.
# The installed programs run with the system's libraries; the root holds only
# the packages' files.
#
#   packaging/install_test.sh [BUILD_DIR]     (default: build, already built)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
started=$SECONDS

WORK=$(mktemp -d /tmp/station-install-test.XXXXXX)
ROOT="$WORK/root"
BIN="$ROOT/usr/bin"
DEV="$WORK/dev"
SNAP="$WORK/snapshots"
STATION_HOME="$WORK/station"
source scripts/shell_helpers.sh
say_as=install_test
at_exit rm -rf "$WORK"

fail() { printf 'install_test: FAIL: %s\n' "$*" >&2; exit 1; }

# --- the packages --------------------------------------------------------
say "cpack -G DEB from $BUILD"
if ! cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK/packages" >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log" >&2
  fail "cpack"
fi
ls -l "$WORK"/packages/*.deb

field() { dpkg-deb -f "$WORK"/packages/"$1"_*.deb "$2"; }
for p in kestrin lumivar flashsim; do
  compgen -G "$WORK/packages/${p}_*.deb" >/dev/null || fail "no package $p"
  [ "$(field "$p" Package)" = "$p" ] || fail "$p: wrong Package field"
  field "$p" Depends | grep -q 'libc6' || fail "$p: Depends lacks what the binary links (libc6)"
  [ -n "$(field "$p" Maintainer)" ] && [ -n "$(field "$p" Section)" ] || fail "$p: no Maintainer or Section"
done
field lumivar Depends | grep -q 'kestrin (= ' || fail "lumivar does not depend on kestrin"
field lumivar Depends | grep -q 'libqt6widgets6' || fail "lumivar does not depend on the Qt widgets library"
[ "$(field lumivar-kiosk Architecture)" = all ] || fail "lumivar-kiosk is not Architecture: all"
for needed in 'lumivar (= ' cage xwayland qt6-wayland; do
  field lumivar-kiosk Depends | grep -qF "$needed" || fail "lumivar-kiosk does not depend on $needed"
done
if field lumivar Depends | grep -q flashsim || field kestrin Depends | grep -q flashsim; then
  fail "a line machine's package depends on the emulator"
fi

command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup.sh installs it)"
if ! lintian --fail-on error,warning "$WORK"/packages/*.deb >"$WORK/lintian.log" 2>&1; then
  cat "$WORK/lintian.log" >&2
  fail "lintian reports errors or warnings"
fi
say "lintian: no errors, no warnings"

mkdir -p "$ROOT"
for deb in "$WORK"/packages/*.deb; do dpkg -x "$deb" "$ROOT"; done
for f in usr/bin/kestrin usr/bin/lumivar usr/bin/lumivar-start usr/bin/flashsim \
         usr/share/applications/lumivar.desktop usr/share/icons/hicolor/scalable/apps/lumivar.svg \
         usr/share/icons/hicolor/48x48/apps/lumivar.png usr/share/lumivar/ACTiming.ini \
         usr/share/doc/lumivar/examples/lang.ini usr/lib/udev/rules.d/60-kestrin.rules \
         usr/sbin/lumivar-kiosk usr/lib/systemd/system/lumivar-kiosk@.service \
         usr/lib/lumivar-kiosk/lumivar-kiosk-session; do
  [ -e "$ROOT/$f" ] || fail "not installed: /$f"
done

# --- kestrin: the banner ---------------------------------------------------
set +e
banner=$("$BIN/kestrin")
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "kestrin without arguments exited with $rc, not 1"
[[ "$banner" == "kestrin.exe, building date: "* ]] || fail "kestrin's banner: '$banner'"
say "kestrin: banner, exit 1"
rc=0
"$ROOT/usr/sbin/lumivar-kiosk" 2>"$WORK/kiosk.err" || rc=$?
[ "$rc" -eq 2 ] && grep -q '^usage: lumivar-kiosk enable ACCOUNT' "$WORK/kiosk.err" ||
  fail "lumivar-kiosk without arguments: exit $rc, $(cat "$WORK/kiosk.err")"
say "lumivar-kiosk: usage, exit 2"

# --- the station against the emulator -----------------------------------------
export PATH="$BIN:$PATH"
"$BIN/flashsim" serve --dir "$DEV"
at_exit quietly "$BIN/flashsim" stop --dir "$DEV"
mkdir -p "$SNAP" "$WORK/home"
HOME="$WORK/home" LUMIVAR_HOME="$STATION_HOME" QT_QPA_PLATFORM=offscreen \
  KESTRIN_DEVICE_DIR="$DEV" LUMIVAR_SNAPSHOT_DIR="$SNAP" \
  "$BIN/lumivar-start" >"$WORK/lumivar.log" 2>&1 &
LUMIVAR_PID=$!
at_exit stop_process "$LUMIVAR_PID"

state() { window_text "$SNAP" || true; }
# see REGEX SECONDS: the state text comes to have a line matching REGEX while
# the station runs.
shows_while_running() { window_shows "$SNAP" "$1" || ! kill -0 "$LUMIVAR_PID" 2>/dev/null; }
see() {
  if ! poll "$2" shows_while_running "$1" >/dev/null || ! window_shows "$SNAP" "$1"; then
    state; cat "$WORK/lumivar.log" >&2
    fail "waiting for '$1'"
  fi
}
see '^Row 1: Waiting device\.\.\.$' 30
for f in ACTiming.ini lang.ini; do
  cmp -s "$STATION_HOME/$f" "$ROOT/usr/share/lumivar/$f" || fail "lumivar-start did not seed $f"
done

"$BIN/flashsim" plug --dir "$DEV" E:blankcheck_ms=1500
see '^Total 1$' 60
state | grep -qx 'Success 1' || { state; fail "the device did not pass"; }
state | grep -qx 'Row 1: successful' || { state; fail "row 1 does not show the verdict"; }
[ "$("$BIN/flashsim" timings --dir "$DEV" E)" = "247 247 255 255" ] || fail "the device got other timing values"
rc=0
stop_process "$LUMIVAR_PID" || rc=$?
[ "$rc" -eq 0 ] || fail "lumivar ended with $rc after SIGTERM"
say "lumivar: one emulated device to its verdict (successful), exit 0"

# --- manual pages and the desktop entry ------------------------------------------
cd "$ROOT/usr/share/man"   # where a page's ".so man1/..." is found
for page in man1/*.1.gz man8/*.8.gz; do
  warnings=$(MANROFFSEQ='' man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
  if ! zcat "$page" | grep -q '^\.so '; then
    lexgrog "$page" >/dev/null || fail "lexgrog $page: no NAME section"
  fi
done
cd - >/dev/null
desktop-file-validate "$ROOT/usr/share/applications/lumivar.desktop" || fail "desktop entry"
say "manual pages and desktop entry: no warnings"

say "passed in $((SECONDS - started)) s"
