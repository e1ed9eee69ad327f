#!/usr/bin/env bash
# Builds everything and runs every test: once as a normal build, once under
# AddressSanitizer and UndefinedBehaviorSanitizer; then every fuzz target for
# a bounded time (KVS_FUZZ_SECONDS each, 20 by default; 0 skips them).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

run_suite() {  # build-dir, extra cmake flags...
  local dir=$1
  shift
  cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

echo "== tests (RelWithDebInfo)"
run_suite "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$top/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKVS_SANITIZE=ON
seconds=${KVS_FUZZ_SECONDS:-20}
if [ "$seconds" -gt 0 ]; then
  echo "== fuzz targets (libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer, ${seconds} s each)"
  if command -v clang++ >/dev/null; then
    "$top/scripts/fuzz.sh" all "$seconds"
  elif [ "${CI:-}" = true ]; then
    echo "fuzz: clang++ is missing (.ci/run installs clang and libclang-rt-14-dev)" >&2
    exit 1
  else
    echo "fuzz: skipped, clang++ is not installed (apt-get install clang libclang-rt-14-dev)"
  fi
fi
echo "== Python studio library, pytest plugin and Ansible plugin (against build/kvsagtd)"
"$top/scripts/test-python.sh" "$top/build"
