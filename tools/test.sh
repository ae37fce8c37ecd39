#!/usr/bin/env bash
# Sets up, builds everything and runs every test. BUILD_DIR picks the
# build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
bash tools/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build" && ctest --output-on-failure -j"$(nproc)"
