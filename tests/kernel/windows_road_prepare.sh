#!/usr/bin/env bash
# Makes what the guest suite windows_road needs from the host: kestrin.exe
# and the launcher's check program for both widths (tool/windows/build.sh)
# in WIN_DIR, and a Wine prefix there (WIN_DIR/wineprefix), made by the user
# who runs the suite, since Wine takes only its owner's prefix. The guest
# starts Wine from it in seconds; making one there takes minutes.
#   windows_road_prepare.sh WIN_DIR
# Exit status 77 (skip) when MinGW-w64 or Wine is not installed
# (scripts/setup.sh installs them), unless CI is set, then 1.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
[ $# -eq 1 ] || { echo "usage: windows_road_prepare.sh WIN_DIR" >&2; exit 2; }
win="$(realpath -m "$1")"

for program in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix /usr/lib/wine/wine64; do
  if ! command -v "$program" >/dev/null; then
    echo "windows_road_prepare: $program is not installed" >&2
    [ -n "${CI:-}" ] && exit 1
    echo "windows_road_prepare: skipped (run scripts/setup.sh)" >&2
    exit 77
  fi
done

bash "$here/../../tool/windows/build.sh" "$win" >"$win.build.log" 2>&1 ||
  { cat "$win.build.log" >&2; exit 1; }
echo "windows_road_prepare: kestrin.exe and launcher_check.exe built in $win"

export WINEPREFIX="$win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  start=$(date +%s)
  timeout 300 /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
  timeout 60 /usr/lib/wine/wineserver -w
  echo "windows_road_prepare: Wine prefix made in $(($(date +%s) - start)) s"
fi
