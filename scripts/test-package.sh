#!/usr/bin/env bash
# Builds the Debian package and checks what it installs, without installing
# it: unpacked (dpkg -x) into a scratch root, the programs run, the manual
# pages render without a warning, the units verify, the configuration files
# are conffiles, a CMake project finds the studio library; then the unpacked
# kvsagtd, with the packaged authorization file plus a rule admitting a test
# user, is driven by the unpacked kvsctl (run, put, get, a program calling
# kvsrdv from its PATH).
# With CI=true (a root machine that is reset anyway) the package is also
# installed with dpkg -i, checked, removed and purged; it is never left
# installed.
#
#   scripts/test-package.sh [BUILD-DIR]     (default build-deb, kept for reuse)
#
# Needs dpkg-dev, groff, man-db, systemd (systemd-analyze) and bash-completion
# (.ci/run installs them).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-deb}
scratch=$(mktemp -d /tmp/kvs-package.XXXXXX)
agent_pid=
installed_here=
failures=0

cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  [ -n "$installed_here" ] && dpkg_wait --purge kvsagtd
  rm -rf "$scratch"
}
trap cleanup EXIT

# dpkg, waiting (up to two minutes) while another dpkg or apt holds its lock.
dpkg_wait() {
  local out
  for _ in $(seq 60); do
    if out=$(dpkg "$@" 2>&1); then return 0; fi
    case $out in
      *"lock"*) sleep 2 ;;
      *) echo "$out" >&2; return 1 ;;
    esac
  done
  echo "$out" >&2
  return 1
}

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # description, command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

echo "== building the package"
deb=$("$top/scripts/package.sh" "$build" | tail -n 1)
root=$scratch/root
dpkg -x "$deb" "$root"
dpkg-deb -e "$deb" "$scratch/control"
bin=$root/usr/bin
sbin=$root/usr/sbin

echo "== the unpacked tree"
expect_status() {  # status, command...
  local want=$1
  shift
  local got=0
  "$@" >/dev/null 2>&1 || got=$?
  [ "$got" -eq "$want" ]
}
check "kvsagtd without arguments prints its usage, status 1" expect_status 1 "$sbin/kvsagtd"
check "kvsagtd --version" expect_status 0 "$sbin/kvsagtd" --version
check "kvsagtd-check --help" expect_status 0 "$sbin/kvsagtd-check" --help
check "kvsctl --version" expect_status 0 "$bin/kvsctl" --version
check "kvsdynf --help" expect_status 0 "$bin/kvsdynf" --help
check "kvsrdv without arguments, status 2" expect_status 2 "$bin/kvsrdv"

for program in kvsagtd kvsagtd-check kvsctl kvsrdv kvsdynf; do
  page=$(ls "$root"/usr/share/man/man*/"$program".[158] 2>/dev/null | head -n 1)
  if [ -z "$page" ]; then
    fail "no manual page for $program"
    continue
  fi
done
for page in "$root"/usr/share/man/man*/*; do
  warnings=$({ MANWIDTH=80 man --warnings=w -l "$page" >/dev/null; groff -t -man -ww -z "$page"; } 2>&1)
  check "$(basename "$page") renders without a warning" test -z "$warnings"
  [ -z "$warnings" ] || echo "$warnings" >&2
done

unit=$root/usr/lib/systemd/system/kvsagtd.service
mkdir -p "$scratch/unit"
sed -e "s|/usr/sbin/kvsagtd|$sbin/kvsagtd|" "$unit" >"$scratch/unit/kvsagtd.service"
check "systemd-analyze verify accepts the unit" \
  env MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/unit/kvsagtd.service"
for line in "KillMode=control-group" "Restart=on-failure" "StateDirectory=kvsagtd" "User=kvsagtd" \
  "Environment=KVS_DIR=/etc/kvsagtd" "EnvironmentFile=-/etc/default/kvsagtd" \
  'ExecReload=/bin/kill -HUP $MAINPID'; do
  check "the unit says $line" grep -qx -- "$line" "$unit"
done
# The template unit: one agent per /etc/default/kvsagtd-NAME, beside the
# service (verified as the file, which systemd-analyze instantiates).
template=$root/usr/lib/systemd/system/kvsagtd@.service
sed -e "s|/usr/sbin/kvsagtd|$sbin/kvsagtd|" "$template" >"$scratch/unit/kvsagtd@.service"
check "systemd-analyze verify accepts the template unit" \
  env MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/unit/kvsagtd@.service"
for line in "KillMode=control-group" "Restart=on-failure" "StateDirectory=kvsagtd/%i" "WorkingDirectory=%S/kvsagtd/%i" \
  "User=kvsagtd" "Environment=KVS_DIR=/etc/kvsagtd" "EnvironmentFile=/etc/default/kvsagtd-%i" \
  'ExecReload=/bin/kill -HUP $MAINPID'; do
  check "the template unit says $line" grep -qx -- "$line" "$template"
done
check "the template unit has no port of its own" sh -c "! grep -q '^Environment=KVSAGTD_PORT' '$template'"
for name in KVSAGTD_PORT KVSAGTD_OPTIONS KVS_DIR PROVEXDIR KVS_ACCEPT_PAUSE_MS KVS_IDENT_TIMEOUT \
  KVS_TESTERS_ANY_HOST KVS_DEBUG PATH KVS_LISTEN KVS_TLS_CERT KVS_TLS_KEY KVS_TLS_CLIENT_CA; do
  check "/etc/default/kvsagtd documents $name" grep -q "^#$name=" "$root/etc/default/kvsagtd"
done

for conf in /etc/kvsagtd/kvsagtd.ini /etc/default/kvsagtd; do
  check "$conf is a conffile" grep -qx "$conf" "$scratch/control/conffiles"
done
check "kvsagtd.ini is packaged with mode 0640" \
  sh -c "dpkg-deb -c '$deb' | grep '^-rw-r----- .* ./etc/kvsagtd/kvsagtd.ini$' >/dev/null"
check "the packaged kvsagtd.ini has no rule" \
  sh -c "KVS_DIR='$root/etc/kvsagtd' '$sbin/kvsagtd-check' | grep -q '^no rule applies'"
check "the copyright file is installed" test -s "$root/usr/share/doc/kvsagtd/copyright"
check "docs/tls.md is installed" test -s "$root/usr/share/doc/kvsagtd/tls.md"

completions=$(bash -c '
  source /usr/share/bash-completion/bash_completion
  source "$1/usr/share/bash-completion/completions/kvsctl"
  COMP_WORDS=(kvsctl localhost r); COMP_CWORD=2; COMP_LINE="kvsctl localhost r"; COMP_POINT=${#COMP_LINE}
  _kvsctl; echo "${COMPREPLY[*]}"' _ "$root")
check "bash completion offers kvsctl's commands" test "$completions" = "run release refuse"

echo "== a CMake project using the installed studio library"
mkdir -p "$scratch/consumer"
cat >"$scratch/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(kvsstudio 8 REQUIRED)
add_executable(greeting greeting.cpp)
target_link_libraries(greeting PRIVATE kvsstudio::kvsstudio)
CMAKE
cat >"$scratch/consumer/greeting.cpp" <<'CPP'
// Prints the greeting of the agent on localhost at the given port.
#include <kvsstudio/client/studio.h>

#include <cstdio>
#include <string>

int main(int, char** argv) {
  studio::connection c(studio::connect_tcp("127.0.0.1", std::stoi(argv[1]), 5000));
  std::printf("%s\n", c.read_line(5000).value_or("<none>").c_str());
  return 0;
}
CPP
check "find_package(kvsstudio) configures and the program builds" sh -c \
  "cmake -S '$scratch/consumer' -B '$scratch/consumer/build' -G Ninja -DCMAKE_PREFIX_PATH='$root/usr' >/dev/null &&
   cmake --build '$scratch/consumer/build' >/dev/null"

echo "== the unpacked agent driven by the unpacked kvsctl"
port=
for _ in $(seq 50); do  # a port nothing answers on
  candidate=$((20000 + RANDOM % 40000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate; break; fi
done
conf=$scratch/conf
mkdir -p "$conf" "$scratch/state" "$scratch/local"
cp "$root/etc/kvsagtd/kvsagtd.ini" "$conf/"
echo "+ kvstest" >>"$conf/kvsagtd.ini"
(cd "$scratch/state" && exec env KVS_DIR="$conf" KVS_ACCEPT_PAUSE_MS=0 PATH="$bin:$PATH" \
  "$sbin/kvsagtd" "$port" >"$scratch/agent.out" 2>"$scratch/agent.err") &
agent_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
kvsctl=("$bin/kvsctl" -u kvstest -t 10 "127.0.0.1:$port")
check "the daemon shows as kvsagtd to pgrep -x" sh -c "pgrep -x kvsagtd | grep -qx $agent_pid"
check "the greeting, read by the program built against the library" \
  test "$("$scratch/consumer/build/greeting" "$port")" = "210 hello, please to meet you."
check "run" test "$("${kvsctl[@]}" run -- echo hello from the agent)" = "hello from the agent"
check "run starts in the agent's working directory" test "$("${kvsctl[@]}" run -- pwd)" = "$scratch/state"
head -c 100000 /dev/urandom >"$scratch/local/payload"
check "put" "${kvsctl[@]}" put "$scratch/local/payload" payload.bin
check "the file arrived in the agent's directory" cmp -s "$scratch/local/payload" "$scratch/state/payload.bin"
check "get" "${kvsctl[@]}" get payload.bin "$scratch/local/back"
check "the file came back unchanged" cmp -s "$scratch/local/payload" "$scratch/local/back"
out=$("${kvsctl[@]}" run --rendezvous ok -- sh -c 'command -v kvsrdv; kvsrdv ready && echo released' || true)
check "a program finds the installed kvsrdv on its PATH and is released" \
  test "$out" = "$bin/kvsrdv"$'\n'"released"
check "a user the file does not name is refused" expect_status 255 "$bin/kvsctl" -u intruder "127.0.0.1:$port" run -- true
check "the refusal is logged on standard output" grep -q "intruder #access denied" "$scratch/agent.out"
kill "$agent_pid"
wait "$agent_pid" 2>/dev/null || true
agent_pid=

if [ "${CI:-}" = true ]; then
  echo "== dpkg -i, remove, purge on this machine (CI)"
  if dpkg-query -W -f='${Status}' kvsagtd 2>/dev/null | grep -q installed; then
    fail "kvsagtd is already installed here; not touching it"
  else
    installed_here=1
    dpkg_wait -i "$deb"
    account=$(getent passwd kvsagtd | cut -d: -f3,6,7)
    check "the account kvsagtd is a system account without a shell ($account)" \
      test "${account%%:*}" -lt 1000 -a "${account#*:}" = /var/lib/kvsagtd:/usr/sbin/nologin
    check "kvsagtd.ini is root:kvsagtd 0640" test "$(stat -c '%U:%G %a' /etc/kvsagtd/kvsagtd.ini)" = "root:kvsagtd 640"
    check "/etc/kvsagtd is root's, 0755" test "$(stat -c '%U:%G %a' /etc/kvsagtd)" = "root:root 755"
    check "the account reads its configuration" \
      sh -c 'runuser -u kvsagtd -- env KVS_DIR=/etc/kvsagtd /usr/sbin/kvsagtd-check --account kvsagtd >/dev/null'
    check "the account cannot change it" \
      sh -c '! runuser -u kvsagtd -- sh -c "test -w /etc/kvsagtd || test -w /etc/kvsagtd/kvsagtd.ini"'
    check "the state directory belongs to the account" test "$(stat -c %U /var/lib/kvsagtd)" = kvsagtd
    check "dpkg lists both conffiles" \
      sh -c "dpkg-query -W -f='\${Conffiles}' kvsagtd | grep -c '/etc/' | grep -qx 2"
    check "the service is not enabled" test ! -e /etc/systemd/system/multi-user.target.wants/kvsagtd.service
    check "the installed unit verifies" systemd-analyze verify /usr/lib/systemd/system/kvsagtd.service
    check "the installed template unit verifies" systemd-analyze verify /usr/lib/systemd/system/kvsagtd@.service
    check "man finds kvsagtd(8)" sh -c 'man -w 8 kvsagtd >/dev/null'
    echo "+ alice" >>/etc/kvsagtd/kvsagtd.ini
    # An agent running from the installed files, as the service runs it,
    # serves on across an upgrade that replaces them.
    (cd /var/lib/kvsagtd && exec runuser -u kvsagtd -- env KVS_DIR=/etc/kvsagtd KVS_ACCEPT_PAUSE_MS=0 \
      /usr/sbin/kvsagtd "$port" >"$scratch/service.out" 2>&1) &
    agent_pid=$!
    for _ in $(seq 100); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      sleep 0.1
    done
    dpkg_wait -i "$deb"
    check "the running agent survives the upgrade and still starts connections" \
      test "$(runuser -u kvsagtd -- /usr/bin/kvsctl -S none -u kvsagtd -t 10 "127.0.0.1:$port" run -- pwd)" = /var/lib/kvsagtd
    kill "$agent_pid"
    wait "$agent_pid" 2>/dev/null || true
    agent_pid=
    check "an upgrade keeps the changed configuration" grep -qx "+ alice" /etc/kvsagtd/kvsagtd.ini
    check "... and its owner and mode" test "$(stat -c '%U:%G %a' /etc/kvsagtd/kvsagtd.ini)" = "root:kvsagtd 640"
    dpkg_wait -r kvsagtd
    check "removal leaves the changed configuration" grep -qx "+ alice" /etc/kvsagtd/kvsagtd.ini
    check "removal removes the programs" test ! -e /usr/sbin/kvsagtd
    dpkg_wait --purge kvsagtd
    installed_here=
    check "purge removes the configuration" test ! -e /etc/kvsagtd -a ! -e /etc/default/kvsagtd
    check "purge removes the state directory" test ! -e /var/lib/kvsagtd
    check "purge removes the account" sh -c '! getent passwd kvsagtd >/dev/null'
  fi
fi

if [ "$failures" -gt 0 ]; then
  echo "test-package: $failures check(s) failed" >&2
  exit 1
fi
echo "test-package: every check passed"
