#!/usr/bin/env bash
# Tests the Python studio library (python/) against the agent built by the
# tree: builds kvsagtd when it is missing, installs the package into a fresh
# virtual environment of Debian's /usr/bin/python3 (as python/README.md
# documents) and runs its tests.
#
#   scripts/test-python.sh [BUILD_DIR] [PYTEST_ARGS...]    (BUILD_DIR default: build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
[ $# -gt 0 ] && shift
build=$(cd "$top" && mkdir -p "$build" && cd "$build" && pwd)
if [ ! -x "$build/kvsagtd" ]; then
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target kvsagtd
fi
python=/usr/bin/python3
for module in venv pytest setuptools; do
  if ! "$python" -c "import $module" 2>/dev/null; then
    echo "test-python: $python lacks $module (apt-get install python3-venv python3-pytest python3-setuptools)" >&2
    exit 1
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv --system-site-packages "$work/venv"
# pip builds in the source tree: a copy keeps build/ and *.egg-info out of it.
cp -r "$top/python" "$work/src"
"$work/venv/bin/pip" install -q --no-build-isolation --no-index "$work/src"
cd "$top/python"
PYTHONDONTWRITEBYTECODE=1 KVS_AGENTD="$build/kvsagtd" \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
