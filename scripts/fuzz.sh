#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ (clang++, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them from their seed corpus.
#
#   scripts/fuzz.sh                   every target for 20 s (what the tests run)
#   scripts/fuzz.sh all SECONDS       every target for SECONDS
#   scripts/fuzz.sh TARGET SECONDS    one target, e.g. fuzz_framing 3600
#
# New inputs go to build-fuzz/corpus/TARGET (kept between runs, so a long run
# can be resumed); an input that breaks an invariant or crashes is written to
# build-fuzz/artifacts/ and reproduced with: build-fuzz/fuzz/TARGET FILE.
# A worthwhile new input can be copied into fuzz/corpus/TARGET as a seed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KVS_FUZZ_BUILD:-$top/build-fuzz}
which=${1:-all}
seconds=${2:-20}
cxx=${KVS_FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null; then
  echo "fuzz: $cxx not found (apt-get install clang libclang-rt-14-dev)" >&2
  exit 2
fi

targets=()
for src in "$top"/fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  if [ "$which" = all ] || [ "$which" = "$name" ]; then targets+=("$name"); fi
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no target named $which" >&2
  exit 2
fi

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVS_FUZZ=ON -DKVS_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"

passed=0
failed=0
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work" "$top/fuzz/corpus/$t"
  log="$build/$t.log"
  echo "== $t (${seconds} s)"
  # Leaks are checked at the end of every input; -timeout catches an input
  # that hangs the code under test.
  if UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "$work" "$top/fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" || true
    passed=$((passed + 1))
  else
    tail -n 40 "$log"
    echo "fuzz: $t FAILED (log: $log)"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed target(s) held their invariants, $failed broke"
[ "$failed" -eq 0 ]
