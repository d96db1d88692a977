#!/usr/bin/env bash
# The main job: the station against emulated devices. (Filled in as the
# station comes together.)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
