#!/usr/bin/env bash
# Builds kestrin.exe and the station's launcher for 32-bit and 64-bit Windows
# and checks them:
#   - the pass-through record layouts against the system headers (compile
#     time in both builds, and pass_through_layout_check.exe run under Wine),
#   - the Windows device files against the system (platform_check.exe),
#   - kestrin.exe under Wine: the banner, a drive that does not exist, and a
#     drive that takes no SCSI pass-through,
#   - the launcher under Wine against a stand-in tool
#     (launcher/launcher_check.exe --stub).
# The tool's commands through a kernel-attached device are the guest suite
# tests/kernel/guest/windows_road.sh.
# Wine runs headless in a fresh prefix. A build whose programs cannot run here
# (no 32-bit Wine, or a kernel without 32-bit support) is reported as skipped.
#   tool/windows/check.sh [OUTDIR]     (OUTDIR as for build.sh)
# Needs: cmake, ninja-build, g++-mingw-w64-i686-posix, g++-mingw-w64-x86-64-posix, wine, wine64
# (and wine32:i386 for the 32-bit runs).
set -uo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
OUT="$(realpath -m "${1:-$ROOT/build-win}")"
LOG="$OUT/check.log"
mkdir -p "$OUT"
: >"$LOG"

passed=0; failed=0; skipped=0
summary=()
pass() { passed=$((passed + 1)); summary+=("PASS  $1"); echo "PASS  $1"; }
fail() { failed=$((failed + 1)); summary+=("FAIL  $1"); echo "FAIL  $1"; }
skip() { skipped=$((skipped + 1)); summary+=("SKIP  $1"); echo "SKIP  $1"; }

# --- builds (the layout static_asserts are part of them) -------------------
built=()
for arch in i686 x86_64; do
  if bash "$HERE/build.sh" "$OUT" "$arch" >>"$LOG" 2>&1; then
    pass "$arch: kestrin.exe builds, record layouts match the system headers at compile time"
    built+=("$arch")
  else
    fail "$arch: build (see $LOG)"
  fi
done

# --- Wine --------------------------------------------------------------------
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX="$(mktemp -d /tmp/kestrin-wine.XXXXXX)"
export WINEPREFIX
cleanup() {
  if command -v wineserver >/dev/null 2>&1; then wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

loader_for() {  # the Wine loader that runs programs of this architecture
  case "$1" in
    x86_64) echo /usr/lib/wine/wine64 ;;
    i686) echo /usr/lib/wine/wine ;;
  esac
}

# why_not_runnable ARCH: prints the reason when this machine cannot run ARCH programs.
why_not_runnable() {
  local loader note="${BLANKCHECK_KERNEL_CACHE:-/var/cache/blankcheck-station}/wine32-unavailable"
  loader="$(loader_for "$1")"
  if [ ! -x "$loader" ]; then
    if [ "$1" = i686 ] && [ -s "$note" ]; then
      echo "no 32-bit Wine: $(cat "$note")"
    else
      echo "$loader missing (install wine64 / wine32:i386)"
    fi
    return
  fi
  if ! "$loader" --version >/dev/null 2>&1; then
    echo "$loader does not start here (a kernel without 32-bit support?)"
  fi
}

# run ARCH PROGRAM ARGS...: stdout without carriage returns into $out, the exit code into $rc.
run() {
  local arch="$1" program="$2"; shift 2
  out="$(cd "$OUT/$arch" && timeout 120 "$(loader_for "$arch")" "./$program" "$@" 2>>"$LOG" | tr -d '\r')"
  rc="${PIPESTATUS[0]}"
  { echo "--- $arch: $program $* -> exit $rc"; echo "$out"; } >>"$LOG"
}

started_prefix=0
for arch in "${built[@]}"; do
  reason="$(why_not_runnable "$arch")"
  if [ -n "$reason" ]; then
    skip "$arch: Wine runs ($reason)"
    continue
  fi
  if [ "$started_prefix" = 0 ]; then
    start=$(date +%s)
    # A 64-bit prefix, where 32-bit programs run too.
    boot="$(loader_for x86_64)"
    [ -x "$boot" ] || boot="$(loader_for "$arch")"
    timeout 300 "$boot" wineboot --init >>"$LOG" 2>&1
    echo "Wine prefix made in $(( $(date +%s) - start )) s" >>"$LOG"
    started_prefix=1
  fi

  run "$arch" pass_through_layout_check.exe
  if [ "$rc" = 0 ]; then pass "$arch: $out"; else fail "$arch: layout check: $out"; fi

  run "$arch" platform_check.exe
  if [ "$rc" = 0 ]; then pass "$arch: $out"; else fail "$arch: platform checks: $out"; fi

  run "$arch" launcher/launcher_check.exe --stub launcher/stub
  if [ "$rc" = 0 ]; then
    pass "$arch: ${out##*$'\n'} (ProbeDrive, StartBlankCheck, WaitBlankCheck against a stand-in)"
  else
    fail "$arch: launcher checks: $(grep -E '^FAIL' <<<"$out" | head -n 5 | tr '\n' ';')"
  fi

  run "$arch" kestrin.exe
  if [ "$rc" = 1 ] && [[ "$out" =~ ^kestrin\.exe,\ building\ date:\ [A-Z][a-z]{2}\ [\ 0-9][0-9]\ [0-9]{4},\ [0-9]{2}:[0-9]{2}:[0-9]{2}$ ]]; then
    pass "$arch: banner, exit 1"
  else
    fail "$arch: banner: exit $rc, output '$out'"
  fi

  run "$arch" platform_check.exe --message 2
  reference="$out"
  run "$arch" kestrin.exe Q:
  expected="CreateFile, Error opening Q:. Error: 2"$'\n'"$reference"
  if [ "$rc" = 1 ] && [ -n "$reference" ] && [ "$out" = "$expected" ]; then
    pass "$arch: missing drive Q:, the system's text, exit 1"
  else
    fail "$arch: missing drive Q:: exit $rc, output '$out', expected '$expected'"
  fi

  # Wine's C: is a plain directory: it opens, and the first request through
  # the pass-through does not complete.
  run "$arch" kestrin.exe C:
  if [ "$rc" = 1 ] && [[ "$out" =~ ^Error:\ [0-9]+\ \ .+$ ]] && [[ "$out" != *$'\n'* ]]; then
    pass "$arch: drive without pass-through: '$out', exit 1"
  else
    fail "$arch: drive without pass-through: exit $rc, output '$out'"
  fi
done

echo
echo "== kestrin.exe Windows checks (log: $LOG)"
printf '%s\n' "${summary[@]}"
echo "windows: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
