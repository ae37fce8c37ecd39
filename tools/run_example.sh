#!/usr/bin/env bash
# Sets up, builds velmor and runs it on the bundled example (a cylinder wall
# with a flat cap) in drape mode. BUILD_DIR picks the build folder (default
# build); the input and output land in its example/ folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
bash tools/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmor velmor_example
mkdir -p "$build/example"
"$build/tests/support/velmor_example" "$build/example/cylinder.bin" cylinder
"$build/velmor/velmor" --drape "$build/example/cylinder.bin" "$build/example/cylinder.out.bin" "$@"
echo "output: $build/example/cylinder.out.bin ($(stat -c %s "$build/example/cylinder.out.bin") bytes)"
