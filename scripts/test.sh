#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# station's tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
JOBS="${JOBS:-$(nproc)}"

build() {  # build DIR [cmake options...]
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

build build
ctest --test-dir build --output-on-failure -j "$JOBS"

build build-asan -DSANITIZE=ON -DBUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS"
