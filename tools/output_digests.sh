#!/usr/bin/env bash
# Prints one digest line per run of both programs on the test kit's fixtures,
# the remesh benchmark's cases and a folder of 3MF packages: the output
# file's SHA-256 and that of its console text, seconds masked. velmor runs on
# 1, 2, 3 and 8 threads and the line says "threads differ" when any two
# disagree. Diff the lines of two builds to show a change kept every byte.
# usage: tools/output_digests.sh BUILD_DIR [3MF_FOLDER]   (build with
# -DMESHTOOLS_BENCH=ON so bench_remesh exists). The benchmark's 10k-triangle
# and flat 0.95 mm cases run always; BIG=1 adds the 100k, 400k and flat
# 0.302 mm ones (ten minutes more).
set -euo pipefail
build=$(realpath "$1")
corpus=${2:-$(dirname "$0")/../ombrane/tests/data/3mf}
velmor=$build/velmor/velmor
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mask() { sed -E 's/[0-9]+\.[0-9]+ s\b/T s/g'; }

# name, input, mode, options...: one line, the digests of every thread count
# when they agree.
run_velmor() {
  local name=$1 in=$2 mode=$3
  shift 3
  local first="" line
  for t in 1 2 3 8; do
    rm -f "$work/out.bin"
    local status=0
    OMP_NUM_THREADS=$t "$velmor" "$mode" "$in" "$work/out.bin" "$@" 2>"$work/err" || status=$?
    line="status $status out $( [ -f "$work/out.bin" ] && sha256sum <"$work/out.bin" | cut -c1-16 || echo none) err $(mask <"$work/err" | sha256sum | cut -c1-16)"
    if [ -z "$first" ]; then first=$line; elif [ "$line" != "$first" ]; then
      echo "$name $mode: threads differ ($t: $line; 1: $first)"
      return
    fi
  done
  echo "$name $mode $*: $first"
}

for shape in cylinder disc square; do
  "$build/tests/support/velmor_example" "$work/$shape.bin" "$shape"
  for mode in --remesh --smooth --drape; do
    run_velmor "$shape" "$work/$shape.bin" $mode
    run_velmor "$shape" "$work/$shape.bin" $mode --rim 1 --radius 5 --clear 0.3
    run_velmor "$shape" "$work/$shape.bin" $mode --rim 0.3 --grad 0.2 --collapse 0.7
  done
done

if [ -x "$build/bench/bench_remesh" ]; then
  mkdir -p "$work/bench"
  "$build/bench/bench_remesh" --write-inputs "$work/bench"
  for opts in "$work"/bench/*.opts; do
    case=$(basename "$opts" .opts)
    case $case in 0|3) ;; *) [ "${BIG:-0}" = 1 ] || continue ;; esac
    for mode in --remesh --smooth --drape; do
      # shellcheck disable=SC2046
      run_velmor "bench$case" "${opts%.opts}.bin" $mode $(cat "$opts")
    done
  done
  for mode in --remesh --smooth --drape; do
    run_velmor bench-small "$work/bench/small.bin" $mode
  done
else
  echo "no bench_remesh in $build: benchmark cases left out" >&2
fi

for pkg in "$corpus"/*.3mf; do
  rm -f "$work/out.3mf"
  status=0
  "$build/ombrane/Ombrane" "$pkg" "$work/out.3mf" >"$work/con" 2>&1 || status=$?
  sed -i "s|$work|W|g; s|$(realpath "$corpus")|C|g; s|$corpus|C|g" "$work/con"
  echo "$(basename "$pkg"): status $status out $( [ -f "$work/out.3mf" ] && sha256sum <"$work/out.3mf" | cut -c1-16 || echo none) con $(sha256sum <"$work/con" | cut -c1-16)"
done
