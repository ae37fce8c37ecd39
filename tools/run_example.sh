#!/usr/bin/env bash
# Sets up, builds both programs and runs each on its bundled example:
# velmor --drape on a cylinder wall with a flat cap, then Ombrane on a cube
# with one flipped triangle. BUILD_DIR picks the build folder (default
# build); inputs and outputs land in its example/ folder. Extra words go to
# velmor as option pairs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
bash tools/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmor velmor_example Ombrane
mkdir -p "$build/example"
"$build/tests/support/velmor_example" "$build/example/cylinder.bin" cylinder
"$build/velmor/velmor" --drape "$build/example/cylinder.bin" "$build/example/cylinder.out.bin" "$@"
echo "velmor output: $build/example/cylinder.out.bin ($(stat -c %s "$build/example/cylinder.out.bin") bytes)"
bash tools/make_example_3mf.sh "$build/example/cube.3mf"
"$build/ombrane/Ombrane" "$build/example/cube.3mf" "$build/example/cube-repaired.3mf"
