#!/usr/bin/env bash
# Builds the fuzz targets (clang 14, libFuzzer, ASan + UBSan) and runs each
# for the given number of seconds, all at once, one core each.
#   bash tools/fuzz.sh [seconds] [target ...]
# Targets: velmor_input, package (default both); seconds default 60.
# FUZZ_BUILD picks the build folder (default build-fz). The corpora grow in
# $FUZZ_BUILD/corpus/<target>; the seeds are the test kit's velmor fixtures
# and the 3MF packages of ombrane/tests/data/3mf, read where they lie, plus
# the kept regression inputs of fuzz/regressions/<target>. A finding leaves its
# input in $FUZZ_BUILD/artifacts/<target>/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${FUZZ_BUILD:-build-fz}
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(velmor_input package)

bash tools/setup.sh
cmake -S fuzz -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=None >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

mkdir -p "$build/seeds/velmor_input"
"$build/make_velmor_seeds" "$build/seeds/velmor_input"

. tools/fuzz_targets.sh

# Seed folders that exist (libFuzzer refuses a missing one; git keeps no
# empty regressions folder).
seeds_of() {
  for d in "$root/fuzz/regressions/$1" "$(seed_dir_of "$1")"; do
    if [ -d "$d" ]; then echo "$d"; fi
  done
}

pids=()
for t in "${targets[@]}"; do
  [ -x "$build/${t}_fuzz" ] || { echo "fuzz: no target $t" >&2; exit 2; }
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t" "$build/logs"
  # shellcheck disable=SC2046
  "$build/${t}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" $(options_of "$t") \
    "$build/corpus/$t" $(seeds_of "$t") >"$build/logs/$t.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if wait "${pids[$i]}"; then
    stats=$(grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$build/logs/$t.log" |
            sed 's/^stat:://' | tr -s ' \n' ' ')
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$build/logs/$t.log" | tail -1)
    echo "fuzz $t: ${seconds}s, $cov, $stats"
  else
    failed=1
    echo "fuzz $t: FINDING (log $build/logs/$t.log)" >&2
    grep -E 'ERROR|runtime error|SUMMARY|Test unit written|package_fuzz:|velmor ended' "$build/logs/$t.log" >&2 || true
  fi
done
exit $failed
