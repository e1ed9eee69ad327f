#!/usr/bin/env bash
# Runs the README's quick start, command by command, on a fresh clone of this
# repository (its committed state), so that the README cannot go stale.
#
# The commands are the lines starting with "$ " between the markers
# <!-- quickstart --> and <!-- /quickstart --> of README.md, run in that
# order by one shell in the clone's top directory (so cd and export carry
# over). The line containing run-agent.sh starts the agent: it runs in the
# background and the next command waits (at most ten minutes, the build
# included) until the agent answers on its port, 7011 unless the line names
# another. The line containing scripts/test.sh (the whole suite) is skipped,
# and so are a "git clone" line and the "cd" into its directory, which the
# test does itself.
# Every other command must succeed. At the end the clone must hold no file
# the quick start wrote (git status shows nothing).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d /tmp/kvs-quickstart.XXXXXX)
agent_group=

cleanup() {
  [ -n "$agent_group" ] && kill -TERM -- "-$agent_group" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# The committed state: the README of the clone and the files it works on.
git clone -q "$top" "$scratch/clone"
readme=$scratch/clone/README.md
commands=$(sed -n '/<!-- quickstart -->/,/<!-- \/quickstart -->/p' "$readme" | sed -n 's/^[[:space:]]*\$ //p')
if ! grep -q '<!-- quickstart -->' "$readme"; then
  echo "test-quickstart: README.md has no <!-- quickstart --> section" >&2
  exit 1
fi
if [ -z "$commands" ]; then
  echo "test-quickstart: the quick-start section of README.md holds no \"\$ \" command" >&2
  exit 1
fi
# The test's own commands, then the README's.
{
  echo 'set -u'
  echo 'wait_agent() {  # pid port: until the agent answers, while it runs'
  echo '  local i'
  echo '  for i in $(seq 1200); do'
  echo '    (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null && return 0'
  echo '    kill -0 "$1" 2>/dev/null || { echo "quickstart: the agent ended before answering" >&2; return 1; }'
  echo '    sleep 0.5'
  echo '  done'
  echo '  echo "quickstart: the agent did not answer on port $2" >&2; return 1'
  echo '}'
  cloned=
  while IFS= read -r command; do
    if [ -n "$cloned" ] && { [ "$command" = "cd $cloned" ] || [ "$command" = "cd $cloned/" ]; }; then
      printf 'echo %q\n' "\$ $command   (done by the test)"
      continue
    fi
    case $command in
      "git clone "*)
        # The test has made the clone already; so is the cd into it.
        cloned=$(basename "${command##* }" .git)
        printf 'echo %q\n' "\$ $command   (done by the test)"
        ;;
      *scripts/test.sh*)
        printf 'echo %q\n' "\$ $command   (skipped)"
        ;;
      *run-agent.sh*)
        port=$(sed -n 's/.*run-agent\.sh[[:space:]]\{1,\}\([0-9]\{1,5\}\).*/\1/p' <<<"$command")
        port=${port:-7011}
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
          echo "test-quickstart: something already listens on port $port" >&2
          exit 1
        fi
        printf 'echo %q\n' "\$ $command   (in the background)"
        # Its own process group, so that the end of the test stops it with its connections.
        printf 'setsid bash -c %q </dev/null &\n' "$command"
        echo 'echo $! >"$KVS_QUICKSTART_PID"'
        echo "wait_agent \$! $port || exit 1"
        ;;
      *)
        printf 'echo %q\n' "\$ $command"
        printf '%s || { echo "quickstart: FAILED (status $?): %s" >&2; exit 1; }\n' "$command" "${command//\"/\\\"}"
        ;;
    esac
  done <<<"$commands"
} >"$scratch/quickstart.sh"

status=0
(cd "$scratch/clone" && KVS_QUICKSTART_PID=$scratch/agent.pid bash "$scratch/quickstart.sh") || status=$?
[ -s "$scratch/agent.pid" ] && agent_group=$(cat "$scratch/agent.pid")
if [ "$status" -ne 0 ]; then
  echo "test-quickstart: failed" >&2
  exit 1
fi
left=$(git -C "$scratch/clone" status --porcelain)
if [ -n "$left" ]; then
  echo "test-quickstart: the quick start wrote into the checkout:" >&2
  echo "$left" >&2
  exit 1
fi
echo "test-quickstart: every command worked"
