#!/usr/bin/env bash
# Builds everything and runs every test: once as a normal build, once under
# AddressSanitizer and UndefinedBehaviorSanitizer; then the Python package's
# tests, the Debian package and the README's quick start from a fresh clone; then every fuzz target for a
# bounded time (KVS_FUZZ_SECONDS each, 20 by default; 0 skips them).
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
echo "== Python studio library, pytest plugin and Ansible plugin (against build/kvsagtd)"
"$top/scripts/test-python.sh" "$top/build"
echo "== the Debian package, unpacked and installed"
if command -v dpkg-deb >/dev/null && command -v systemd-analyze >/dev/null && command -v groff >/dev/null; then
  "$top/scripts/test-package.sh"
elif [ "${CI:-}" = true ]; then
  echo "package: dpkg-dev, systemd or groff is missing (.ci/run installs them)" >&2
  exit 1
else
  echo "package: skipped, dpkg-dev, systemd or groff-base is not installed"
fi
echo "== the README's quick start, from a fresh clone"
"$top/scripts/test-quickstart.sh"
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
