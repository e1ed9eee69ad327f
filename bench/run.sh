#!/usr/bin/env bash
# Builds the agent and the benchmark programs (Release) and runs every figure
# against its baseline, then prints one table: figure, agent, baseline, ratio.
#
#   bench/run.sh [--quick] [--file-mib N] [--cpu N] [--results FILE] [--no-ssh]
#
# The baselines: a line echo server and a posix_spawn loop (built here),
# socat (installed with apt-get when missing), dd, and OpenSSH's ssh, scp and
# sftp against a throwaway sshd on a loopback port (bench/sshd.sh: Debian's
# packages unpacked into the build directory, never installed; stopped at the
# end). The versions measured are printed first. The TLS figures (rows 11)
# run a second agent with mutual TLS, its certificates made by
# tests/tls/make-certs.sh (the openssl command line), against the plain
# agent, socat's OPENSSL addresses and ssh.
#
# The figures of one command or launch at a time (round trip, pipelined
# burst, launch, connect) run with the driver, the agent, the echo server and
# the spawn loop pinned together to one CPU (taskset): a wake-up across CPUs
# alone costs tens of microseconds and would decide those figures. The bulk
# figures (files, dynamic follow, rendezvous) run unpinned. Loopback only; a
# few minutes in all.
# Environment: KVSBENCH_BUILD (build directory, default build-bench),
# KVSBENCH_WORK (where the scratch files go, default /tmp), KVSBENCH_AGENT
# (another kvsagtd to measure, e.g. an older build, instead of the one built),
# KVSBENCH_BEFORE (an older kvsagtd measured in the same run, turn about with
# the agent, for the connecting, memory and transfer figures: the "9" rows).
# apt-get needs root (or sudo) only when socat is missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KVSBENCH_BUILD:-$top/build-bench}
work=${KVSBENCH_WORK:-/tmp}
cpu=$(($(nproc) - 1))
quick=()
file_mib=512
results=""
with_ssh=1
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=(--quick) ;;
    --file-mib) file_mib=$2; shift ;;
    --cpu) cpu=$2; shift ;;
    --results) results=$2; shift ;;
    --no-ssh) with_ssh=0 ;;
    *) echo "usage: bench/run.sh [--quick] [--file-mib N] [--cpu N] [--results FILE] [--no-ssh]" >&2; exit 1 ;;
  esac
  shift
done

# socat is the baseline of the raw copies; install it when it is missing.
# (The ssh client, when missing, is unpacked beside the server instead.)
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
cmake --build "$build" --target kvsagtd kvsctl kvsbench kvsbench_echo kvsbench_spawn >/dev/null

need=$((file_mib * 4 + 64))
avail=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
if [ "${#quick[@]}" -eq 0 ] && [ "$avail" -lt "$need" ]; then
  echo "bench/run.sh: $work has $avail MiB free, the file figures need $need MiB (--file-mib, KVSBENCH_WORK)" >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kvsbench-run.XXXXXX")
cleanup() {
  [ ! -f "$scratch/ssh/sshd.pid" ] || "$top/bench/sshd.sh" stop "$scratch/ssh"
  rm -rf "$scratch"
}
trap cleanup EXIT
[ -n "$results" ] || results=$scratch/results
: >"$results"
bin=$build/bench
agent=${KVSBENCH_AGENT:-$build/kvsagtd}
common=(--agent "$agent" --echo "$bin/kvsbench_echo" --spawn "$bin/kvsbench_spawn"
        --socat "$(command -v socat)" --kvsctl "$build/kvsctl" --work-root "$work" --file-mib "$file_mib" --results "$results" "${quick[@]}")
[ -z "${KVSBENCH_BEFORE:-}" ] || common+=(--before "$KVSBENCH_BEFORE")

# The TLS figures' certificates: a CA, the agent's, alice's (the studio).
if command -v openssl >/dev/null && sh "$top/tests/tls/make-certs.sh" "$scratch/certs"; then
  common+=(--tls-certs "$scratch/certs")
else
  echo "   (no openssl command line: no TLS figures in this run)"
fi

# The ssh baselines: a server of our own on a loopback port.
if [ "$with_ssh" -eq 1 ]; then
  echo "== starting a throwaway sshd on loopback (bench/sshd.sh)"
  if started=$("$top/bench/sshd.sh" start "$build/openssh" "$scratch/ssh"); then
    common+=(--ssh-config "${started##* }")
    command -v ssh >/dev/null || export PATH=$build/openssh/root/usr/bin:$PATH
    if [ "$(id -u)" -eq 0 ]; then
      echo "   as root, in a private mount namespace; logging in as root (shell /bin/sh there)"
    else
      echo "   as $(id -un), no root needed; logging in as $(id -un)"
    fi
  else
    echo "   (no ssh baselines in this run)"
  fi
fi

echo "== versions measured"
echo "   agent: $agent${KVSBENCH_BEFORE:+ (and, as before: $KVSBENCH_BEFORE)}"
echo "   $(socat -V | sed -n 's/^socat version \([^ ]*\).*/socat \1/p')"
echo "   $(dd --version | head -1)"
command -v openssl >/dev/null && echo "   $(openssl version)"
if [ -f "$scratch/ssh/sshd.pid" ]; then
  echo "   client: $(ssh -V 2>&1)"
  sed 's/^/   server: /' "$build/openssh/versions"
fi
echo "   $(uname -sr); $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) CPUs"
echo "   file system of $work: $(df -PT "$work" | awk 'NR == 2 { print $2 " on " $1 }')"

echo "== $(uptime | sed 's/^ *//')"
if awk '{ exit !($1 > 0.5) }' /proc/loadavg; then
  echo "   (the machine is busy: figures will be noisy; rerun when the load is low)"
fi
echo "== command and launch figures, pinned to CPU $cpu"
status=0
taskset -c "$cpu" "$bin/kvsbench" "${common[@]}" --figures rtt,pipeline,exec,connect,ssh,kvsctl,tls --label "pinned, CPU $cpu" ||
  status=$?
echo "== bulk figures, unpinned"
"$bin/kvsbench" "${common[@]}" --figures dynf,rdv,transfer,tlstransfer --label "unpinned" || status=$?
echo "== $(uptime | sed 's/^ *//')"
echo
"$bin/kvsbench" --table "$results"
exit $status
