#!/usr/bin/env bash
# Builds the agent and the benchmark programs (Release) and runs every figure
# against its baseline, then prints one table: figure, agent, baseline, ratio.
#
#   bench/run.sh [--quick] [--file-mib N] [--cpu N] [--results FILE]
#
# The figures of one command or launch at a time (round trip, pipelined
# burst, launch, connect) run with the driver, the agent, the echo server and
# the spawn loop pinned together to one CPU (taskset): a wake-up across CPUs
# alone costs tens of microseconds and would decide those figures. The bulk
# figures (files, dynamic follow, rendezvous) run unpinned. Loopback only; a
# few minutes in all.
# Environment: KVSBENCH_BUILD (build directory, default build-bench),
# KVSBENCH_WORK (where the scratch files go, default /tmp), KVSBENCH_AGENT
# (another kvsagtd to measure, e.g. an older build, instead of the one built).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KVSBENCH_BUILD:-$top/build-bench}
work=${KVSBENCH_WORK:-/tmp}
cpu=$(($(nproc) - 1))
quick=()
file_mib=512
results=""
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=(--quick) ;;
    --file-mib) file_mib=$2; shift ;;
    --cpu) cpu=$2; shift ;;
    --results) results=$2; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--file-mib N] [--cpu N] [--results FILE]" >&2; exit 1 ;;
  esac
  shift
done

# socat is the baseline of the file copies; install it when it is missing.
if ! command -v socat >/dev/null; then
  echo "== installing socat"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq socat >/dev/null
fi
command -v taskset >/dev/null || { echo "bench/run.sh: taskset (util-linux) is needed" >&2; exit 1; }

echo "== building (Release) in $build"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target kvsagtd kvsbench kvsbench_echo kvsbench_spawn >/dev/null

need=$((file_mib * 3 + 64))
avail=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
if [ "${#quick[@]}" -eq 0 ] && [ "$avail" -lt "$need" ]; then
  echo "bench/run.sh: $work has $avail MiB free, the file figures need $need MiB (--file-mib, KVSBENCH_WORK)" >&2
  exit 1
fi

if [ -z "$results" ]; then
  results=$(mktemp "${TMPDIR:-/tmp}/kvsbench-results.XXXXXX")
  trap 'rm -f "$results"' EXIT
fi
: >"$results"
bin=$build/bench
agent=${KVSBENCH_AGENT:-$build/kvsagtd}
common=(--agent "$agent" --echo "$bin/kvsbench_echo" --spawn "$bin/kvsbench_spawn"
        --socat "$(command -v socat)" --work-root "$work" --file-mib "$file_mib" --results "$results" "${quick[@]}")

echo "== $(uptime | sed 's/^ *//')"
if awk '{ exit !($1 > 0.5) }' /proc/loadavg; then
  echo "   (the machine is busy: figures will be noisy; rerun when the load is low)"
fi
echo "== command and launch figures, pinned to CPU $cpu"
status=0
taskset -c "$cpu" "$bin/kvsbench" "${common[@]}" --figures rtt,pipeline,exec,connect --label "pinned, CPU $cpu" ||
  status=$?
echo "== bulk figures, unpinned"
"$bin/kvsbench" "${common[@]}" --figures dynf,rdv,transfer --label "unpinned" || status=$?
echo "== $(uptime | sed 's/^ *//')"
echo
"$bin/kvsbench" --table "$results"
exit $status
