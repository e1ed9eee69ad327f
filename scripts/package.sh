#!/usr/bin/env bash
# Builds the Debian package of kvsagtd from this tree:
#
#   scripts/package.sh [BUILD-DIR]     (default build-deb)
#
# configures a Release build installed under /usr (no tests, no benchmarks),
# builds it and writes kvsagtd_<version>_<arch>.deb into BUILD-DIR; its path
# is the last line printed. Needs dpkg-dev (for dpkg-shlibdeps).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-deb}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKVS_TESTS=OFF -DKVS_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/kvsagtd_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/kvsagtd_*.deb
