#!/usr/bin/env bash
# Builds the agent, kvsctl and the tester helpers, and starts the agent in the
# foreground on a port (default 7011), with the sample authorization file of
# etc/ (it admits only the account running the agent, connecting from this
# machine). Programs it launches find kvsrdv and kvsdynf along their PATH.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
port=${1:-${KVS_PORT:-7011}}
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target kvsagtd kvsctl kvsrdv kvsdynf
export PATH="$top/build:$PATH"
export KVS_DIR=${KVS_DIR:-$top/etc}
echo "kvsagtd: listening on port $port, authorization file $KVS_DIR/kvsagtd.ini" >&2
exec "$top/build/kvsagtd" "$port"
