#!/usr/bin/env bash
# Sets up, builds everything and runs every test; then both suites again
# under sanitizers (tools/sanitize.sh) and a short run of each fuzz target
# (tools/fuzz.sh, FUZZ_SECONDS each, default 60). BUILD_DIR picks the build
# folder (default build) and is the stem of the others; QUICK=1 runs the
# plain suites only.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
bash tools/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")
[ "${QUICK:-0}" = 1 ] && exit 0
BUILD_DIR=$build bash tools/sanitize.sh
FUZZ_BUILD=$build-fz bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"
