#!/usr/bin/env bash
# Fuzzes the library's text functions (path components, the local-path
# test, the listing path split, the wildcard matcher and the find-pattern
# rule, the dialog filter, the folder-copy name checks, the bounded copies
# and name checks of fixed buffers), built natively with
# clang's libFuzzer and the address and undefined-behaviour sanitizers.
#
#   scripts/fuzz.sh short     a quick run of each target, from scripts/test.sh
#   scripts/fuzz.sh long [N]  N inputs per target (default 10,000,000), then
#                             the line coverage of the fuzzed sources; new
#                             inputs are merged into the corpus in tests/fuzz
#
# A crash, a hang, a sanitizer report or a difference from the reference
# stops the run; the input is saved in build/fuzz/findings.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/fuzz"
mode=${1:-short}
targets="split-component local-path listing-path wildcard find-pattern filter copy-names bounded-text"

build_fuzzer() {  # folder, extra cmake arguments
  local folder=$1
  shift
  if [ ! -f "$folder/build.ninja" ]; then
    CXX=clang++ cmake -S "$root/tests/fuzz" -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  fi
  cmake --build "$folder" >/dev/null
}

# Runs one target: its inputs and the final line of libFuzzer's statistics.
run_target() {  # target, runs, extra libFuzzer arguments
  local target=$1 runs=$2
  shift 2
  local work="$out/corpus/$target" seeds="$root/tests/fuzz/corpus/$target"
  mkdir -p "$work" "$out/findings" "$seeds"
  local log="$out/$target.log"
  if ! KIVO_FUZZ_TARGET=$target "$out/sanitized/parsers_fuzz" "$work" "$seeds" -runs="$runs" -max_len=1200 \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/findings/$target-" "$@" \
      >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "fuzzing $target failed: the input is in $out/findings" >&2
    exit 1
  fi
  local execs cov
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-16s %12s inputs   %4s edges covered\n' "$target" "$execs" "${cov:-0}"
}

# Line coverage of the fuzzed sources over the whole corpus.
report_coverage() {
  build_fuzzer "$out/coverage" -DKIVO_FUZZ_COVERAGE=ON
  rm -f "$out"/coverage/*.profraw
  for target in $targets; do
    LLVM_PROFILE_FILE="$out/coverage/$target.profraw" KIVO_FUZZ_TARGET=$target \
      "$out/coverage/parsers_fuzz" -runs=0 "$root/tests/fuzz/corpus/$target" "$out/corpus/$target" >/dev/null 2>&1
  done
  llvm-profdata merge -sparse "$out"/coverage/*.profraw -o "$out/coverage/all.profdata"
  echo "== line coverage of the fuzzed sources"
  llvm-cov report "$out/coverage/parsers_fuzz" -instr-profile="$out/coverage/all.profdata" \
    "$root/core/text.cpp" "$root/core/path_text.cpp" "$root/enum/listing_path.cpp" "$root/enum/wildcard.cpp" \
    "$root/dialogs/filter.cpp" "$root/foldercopy/copy_names.cpp"
}

source "$root/scripts/common.sh"
kivo_install
build_fuzzer "$out/sanitized"

case "$mode" in
  short)
    for target in $targets; do run_target "$target" 100000; done
    ;;
  long)
    runs=${2:-10000000}
    for target in $targets; do run_target "$target" "$runs"; done
    for target in $targets; do
      KIVO_FUZZ_TARGET=$target "$out/sanitized/parsers_fuzz" -merge=1 "$root/tests/fuzz/corpus/$target" \
        "$out/corpus/$target" >/dev/null 2>&1
    done
    report_coverage
    ;;
  *)
    echo "usage: scripts/fuzz.sh short | long [inputs per target]" >&2
    exit 2
    ;;
esac
