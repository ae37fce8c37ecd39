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
(cd "$build" && ctest --output-on-failure -j"$(nproc)") | tee "$build/ctest.log"
# ctest's own count, repeated last so it closes the run's output.
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$build/ctest.log" | tail -n 1)
skipped=$(grep -c '(Skipped)' "$build/ctest.log" || true)
summary="tests: $(( ${total:-0} - skipped )) passed, 0 failed, $skipped skipped"
if [ "${QUICK:-0}" != 1 ]; then
  BUILD_DIR=$build bash tools/sanitize.sh
  FUZZ_BUILD=$build-fz bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"
fi
echo "$summary"
