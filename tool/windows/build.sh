#!/usr/bin/env bash
# Cross-builds kestrin.exe (and the two check programs) for 32-bit and 64-bit
# Windows with Debian's MinGW-w64 toolchains.
#   tool/windows/build.sh [OUTDIR [ARCH...]]
# OUTDIR defaults to <repo>/build-win; ARCH is i686 and/or x86_64 (default both).
# Results: OUTDIR/<arch>/kestrin.exe, pass_through_layout_check.exe, platform_check.exe
# Needs: cmake, ninja-build, g++-mingw-w64-i686-posix, g++-mingw-w64-x86-64-posix.
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
OUT="${1:-$ROOT/build-win}"
shift || true
ARCHES=("$@")
[ "${#ARCHES[@]}" -gt 0 ] || ARCHES=(i686 x86_64)
JOBS="${JOBS:-$(nproc)}"

for arch in "${ARCHES[@]}"; do
  case "$arch" in
    i686|x86_64) ;;
    *) echo "build.sh: unknown architecture '$arch' (i686 or x86_64)" >&2; exit 2 ;;
  esac
  echo "== kestrin.exe for $arch"
  cmake -S "$HERE" -B "$OUT/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$HERE/toolchain-$arch.cmake" >/dev/null
  cmake --build "$OUT/$arch" -j "$JOBS"
done
