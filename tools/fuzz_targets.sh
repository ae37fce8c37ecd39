# The fuzz targets' inputs and bounds, sourced by tools/fuzz.sh and
# tools/fuzz_keep.sh so a refresh of the kept inputs runs them as the fuzz
# runs did. Needs $root (the checkout) and $build (the fuzz build folder).

# The seed folder of a target, besides its kept inputs in fuzz/regressions.
seed_dir_of() {
  case $1 in
    velmor_input) echo "$build/seeds/velmor_input" ;;
    package) echo "$root/ombrane/tests/data/3mf" ;;
  esac
}

# The velmor target frees what each run held, exit or not; a report of a
# leak there is a real one.
options_of() {
  case $1 in
    velmor_input) echo "-max_len=65536" ;;
    package) echo "" ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
