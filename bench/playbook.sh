#!/usr/bin/env bash
# One playbook (fact gathering, command, shell, copy, fetch, template, file,
# stat, script and raw, on two hosts) run turn about over
# ansible_connection=kvsagt (two agents on loopback ports), over ssh to the
# throwaway loopback sshd of bench/sshd.sh (ControlPersist and pipelining
# on) and over ansible_connection=local (the floor). Prints the median wall
# time of each and the ratios.
#
#   bench/playbook.sh [--rounds N] [--build DIR] [--profile]
#
# (default 5 rounds, build-bench; --profile: the time of each task in the
# last run of each connection, from Ansible's profile_tasks callback)
#
# Needs ansible-playbook (ansible-core) and python3; builds kvsagtd when it
# is missing. Every playbook run is bounded (timeout 300).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KVSBENCH_BUILD:-$top/build-bench}
rounds=5
profile=0
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift ;;
    --build) build=$2; shift ;;
    --profile) profile=1 ;;
    *) echo "usage: bench/playbook.sh [--rounds N] [--build DIR] [--profile]" >&2; exit 1 ;;
  esac
  shift
done
build=$(mkdir -p "$build" && cd "$build" && pwd)
command -v ansible-playbook >/dev/null || { echo "bench/playbook.sh: ansible-playbook is needed (apt-get install ansible-core)" >&2; exit 1; }
if [ ! -x "$build/kvsagtd" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target kvsagtd >/dev/null
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kvsbench-play.XXXXXX")
agents=()
cleanup() {
  for pid in "${agents[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ ! -f "$scratch/ssh/sshd.pid" ] || "$top/bench/sshd.sh" stop "$scratch/ssh"
  rm -rf "$scratch"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
listening() { ss -Htln "sport = :$1" 2>/dev/null | grep -q . || grep -q ":$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }

# Two agents, each in a directory of its own with an authorization file
# that admits this account, with the daemon's usual pause after each accept.
# They start with the environment of a service, as sshd gives its sessions
# one of their own: programs inherit the agent's, and a PYTHONUNBUFFERED
# there makes every pipelined module read its source from standard input
# one byte at a time.
ports=()
for name in one two; do
  mkdir -p "$scratch/agent-$name"
  echo "+ $(id -un)" >"$scratch/agent-$name/kvsagtd.ini"
  port=$(free_port)
  (cd "$scratch/agent-$name" && exec env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$HOME" USER="$(id -un)" LANG=C.UTF-8 \
     KVS_DIR="$scratch/agent-$name" "$build/kvsagtd" "$port" >agent.log 2>&1) &
  agents+=($!)
  ports+=("$port")
  for _ in $(seq 100); do listening "$port" && break; sleep 0.1; done
done

echo "== starting a throwaway sshd on loopback (bench/sshd.sh)"
started=$("$top/bench/sshd.sh" start "$build/openssh" "$scratch/ssh")
ssh_config=${started##* }
command -v ssh >/dev/null || export PATH=$build/openssh/root/usr/bin:$PATH

python=/usr/bin/python3
mkdir -p "$scratch/local"
printf '#!/bin/sh\necho script "$1"\necho script-err >&2\n' >"$scratch/local/script.sh"
printf 'host {{ inventory_hostname }} on {{ ansible_facts["system"] }}\n' >"$scratch/local/page.j2"
cat >"$scratch/play.yml" <<EOF
- hosts: targets
  gather_facts: true
  tasks:
    - command: echo "{{ inventory_hostname }}"
    - shell: echo out; echo err >&2
    - copy: {content: "payload {{ inventory_hostname }}\n", dest: "$scratch/remote/{{ inventory_hostname }}.txt"}
    - fetch: {src: "$scratch/remote/{{ inventory_hostname }}.txt", dest: "$scratch/local/fetched/", flat: true}
    - template: {src: "$scratch/local/page.j2", dest: "$scratch/remote/{{ inventory_hostname }}.page"}
    - file: {path: "$scratch/remote/{{ inventory_hostname }}.dir", state: directory, mode: "0750"}
    - stat: {path: "$scratch/remote/{{ inventory_hostname }}.page"}
    - script: "$scratch/local/script.sh word"
    - raw: echo raw
EOF
common="ansible_python_interpreter=$python"
{
  echo "[targets]"
  echo "one ansible_connection=kvsagt ansible_host=127.0.0.1 ansible_port=${ports[0]} $common"
  echo "two ansible_connection=kvsagt ansible_host=127.0.0.1 ansible_port=${ports[1]} $common"
} >"$scratch/kvsagt.ini"
{
  # Each host a master of its own, as two machines would have.
  echo "[targets]"
  for name in one two; do
    echo "$name ansible_connection=ssh ansible_host=kvsbench-ssh ansible_control_path=$scratch/cm-$name $common" \
         "ansible_ssh_common_args='-F $ssh_config' ansible_ssh_args='-o ControlMaster=auto -o ControlPersist=60s'"
  done
} >"$scratch/ssh.ini"
printf '[targets]\none ansible_connection=local %s\ntwo ansible_connection=local %s\n' "$common" "$common" >"$scratch/local.ini"

# Nor does ansible-playbook (the local connection's modules inherit its).
unset PYTHONUNBUFFERED
export ANSIBLE_CONFIG=$top/python/ansible.cfg ANSIBLE_PIPELINING=True ANSIBLE_HOST_KEY_CHECKING=False \
  ANSIBLE_KVSAGT_CONTROL_PATH_DIR=$scratch/cp ANSIBLE_LOCAL_TEMP=$scratch/ansible-local ANSIBLE_NOCOLOR=1
[ "$profile" -eq 0 ] || export ANSIBLE_CALLBACKS_ENABLED=profile_tasks PROFILE_TASKS_SORT_ORDER=none PROFILE_TASKS_TASK_OUTPUT_LIMIT=all
run() {
  rm -rf "$scratch/remote" "$scratch/local/fetched"
  mkdir -p "$scratch/remote" "$scratch/local/fetched"
  local start end
  start=$(date +%s%N)
  if ! timeout 300 ansible-playbook -i "$scratch/$1.ini" "$scratch/play.yml" >"$scratch/$1.log" 2>&1 ||
     grep -q 'failed=[1-9]\|unreachable=[1-9]' "$scratch/$1.log"; then
    echo "bench/playbook.sh: the $1 run failed:" >&2
    tail -30 "$scratch/$1.log" >&2
    exit 1
  fi
  end=$(date +%s%N)
  echo "$1 $(((end - start) / 1000000))" >>"$scratch/times"
}

echo "== $(ansible-playbook --version | sed -n 1p), $(ssh -V 2>&1)"
echo "== $(uptime | sed 's/^ *//')"
# A first run of each, not counted: caches, and ssh's first master.
for mode in kvsagt ssh local; do run "$mode"; done
: >"$scratch/times"
# Each round begins with another connection: what the machine does meanwhile
# falls on each in turn.
modes=(kvsagt ssh local)
for round in $(seq "$rounds"); do
  for i in 0 1 2; do run "${modes[$(((round + i) % 3))]}"; done
  echo "   round $round: $(tail -3 "$scratch/times" | tr '\n' ' ')"
done
echo "== $(uptime | sed 's/^ *//')"
if [ "$profile" -eq 1 ]; then
  for mode in kvsagt ssh local; do
    echo "== $mode, last run"
    sed -n '/^=====/,$p' "$scratch/$mode.log" | sed 1d
  done
fi
python3 - "$scratch/times" <<'EOF'
import statistics, sys
times = {}
for line in open(sys.argv[1]):
    mode, seconds = line.split()
    times.setdefault(mode, []).append(int(seconds) / 1000)
median = {mode: statistics.median(values) for mode, values in times.items()}
for mode in ("kvsagt", "ssh", "local"):
    print(f"   {mode:7} median {median[mode]:6.2f} s  (runs: {' '.join(f'{t:.2f}' for t in times[mode])})")
print(f"   kvsagt / ssh   {median['kvsagt'] / median['ssh']:.2f}x  (target <= 1x)")
print(f"   kvsagt / local {median['kvsagt'] / median['local']:.2f}x")
print(f"   ssh / local    {median['ssh'] / median['local']:.2f}x")
EOF
