#!/usr/bin/env bash
# Checks that every C and C++ file is formatted as .clang-format says, then
# builds everything and runs every test: the normal build (with the guest
# suites that boot a Linux kernel under QEMU, label "kernel"), then the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer (the
# tool's guest suites among them), all but the guest suites under
# ThreadSanitizer, a bounded fuzz run of the INI reader, and the Windows
# cross-build of the tool and the station's launcher with their checks under
# Wine (the tool's commands through a kernel-attached device are a guest
# suite of the plain run).
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
JOBS="${JOBS:-$(nproc)}"

# The format first: it takes seconds. A file it names is formatted with the
# README's command.
git ls-files -z '*.c' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format-14 --dry-run --Werror

build() {  # build DIR [cmake options...]
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

build build
ctest --test-dir build --output-on-failure -j "$JOBS" | tee build/ctest.log

# The Debian packages of that build, installed into a fresh root and run there.
bash packaging/install_test.sh build

# Five guest suites only wait there (a dead disk's time-out), drive the
# station (on /dev, on a line machine as the packages install it, and as the
# line machine's kiosk), whose code meets the sanitizers on the socket road
# already, or run the Windows tool under Wine, which no sanitizer sees: the
# sanitizer run leaves them out to keep the guest's share of the run small.
build build-asan -DSANITIZE=ON -DBUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS" \
  -E '^kernel_(dead_device|station|line_machine.*|appliance|windows_road.*)$'

build build-tsan -DSANITIZE_THREAD=ON -DBUILD_BENCHMARKS=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -LE kernel

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_FUZZERS=ON -DBUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz --target ini_reader_fuzz
fuzz_scratch=$(mktemp -d)
build-fuzz/bin/ini_reader_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -artifact_prefix=build-fuzz/ \
  "$fuzz_scratch" station/config/fuzz/corpus
rm -rf "$fuzz_scratch"

# The Windows forms: kestrin.exe and the station's launcher, both widths (the
# plain run's guest suite built them in build/windows).
bash tool/windows/check.sh build/windows

# Every step above stops the script on a failure; the normal suite's summary
# closes the run.
grep -E "tests passed|tests failed" build/ctest.log
