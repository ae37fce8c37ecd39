#!/usr/bin/env bash
# Refreshes the minimised corpus kept in fuzz/regressions/<target> from what
# tools/fuzz.sh grew: the grown corpus, the seeds and the kept inputs are
# merged (-merge=1), then inputs are kept greedily, most new coverage edges
# per byte first, then most new features per byte, up to a byte budget.
#   bash tools/fuzz_keep.sh [target ...]
# Targets: velmor_input, package (default both). FUZZ_BUILD as for
# tools/fuzz.sh; KEEP_BYTES sets the budget of each target (default 100000
# for velmor_input, 150000 for package). Kept inputs are named by their
# SHA-1; a file with any other name (an input that found a fault, named for
# it) is never removed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${FUZZ_BUILD:-build-fz}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(velmor_input package)

. tools/fuzz_targets.sh

budget_of() {
  case $1 in
    velmor_input) echo "${KEEP_BYTES:-100000}" ;;
    package) echo "${KEEP_BYTES:-150000}" ;;
  esac
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for t in "${targets[@]}"; do
  [ -x "$build/${t}_fuzz" ] && [ -d "$build/corpus/$t" ] ||
    { echo "fuzz_keep: run tools/fuzz.sh $t first" >&2; exit 2; }
  kept=$root/fuzz/regressions/$t
  mkdir -p "$kept" "$work/$t/merged" "$work/$t/chosen"
  # The control file holds, per input in rising size, the edges (COV) and
  # features (FT) that no smaller input reached.
  # shellcheck disable=SC2046
  "$build/${t}_fuzz" -merge=1 -timeout=20 -rss_limit_mb=2048 $(options_of "$t") \
    -merge_control_file="$work/$t/control" "$work/$t/merged" \
    "$build/corpus/$t" "$kept" "$(seed_dir_of "$t")" >"$work/$t/merge.log" 2>&1 ||
    { cat "$work/$t/merge.log" >&2; exit 1; }
  sed -n "3,$(( $(head -n 1 "$work/$t/control") + 2 ))p" "$work/$t/control" |
    tr '\n' '\0' | xargs -0 stat -c '%s %n' >"$work/$t/sizes"
  awk -v limit="$(budget_of "$t")" '
    FNR == NR { size[NR - 1] = $1; sub(/^[0-9]+ /, ""); path[NR - 1] = $0; n = NR; next }
    $1 == "COV" { cov[$2] = $0; for (k = 3; k <= NF; k++) allcov[$k] }
    $1 == "FT" { ft[$2] = $0 }
    function greedy(sets, have,   i, k, m, new, best, score, parts) {
      for (;;) {
        best = -1; score = 0
        for (i = 0; i < n; i++) {
          if (i in chosen || !(i in sets)) continue
          m = split(sets[i], parts, " "); new = 0
          for (k = 3; k <= m; k++) if (!(parts[k] in have)) new++
          if (new > 0 && new / (size[i] + 200) > score) { best = i; score = new / (size[i] + 200) }
        }
        if (best < 0 || total + size[best] > limit) return
        chosen[best]; total += size[best]
        m = split(sets[best], parts, " "); for (k = 3; k <= m; k++) have[parts[k]]
        print path[best]
      }
    }
    END {
      greedy(cov, havecov)
      for (i in chosen) { m = split(ft[i], parts, " "); for (k = 3; k <= m; k++) haveft[parts[k]] }
      greedy(ft, haveft)
      for (e in allcov) { all++; if (e in havecov) reached++ }
      printf "%d of %d edges\n", reached, all > "/dev/stderr"
    }' "$work/$t/sizes" "$work/$t/control" >"$work/$t/list" 2>"$work/$t/edges"
  while IFS= read -r f; do
    cp "$f" "$work/$t/chosen/$(sha1sum <"$f" | cut -c1-40)"
  done <"$work/$t/list"
  find "$kept" -maxdepth 1 -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
  cp "$work/$t/chosen/"* "$kept/"
  echo "fuzz_keep $t: $(find "$work/$t/chosen" -type f | wc -l) inputs," \
    "$(cat "$work/$t/chosen/"* | wc -c) bytes, $(cat "$work/$t/edges")"
done
