#!/usr/bin/env bash
# Fails when a file of the agent includes a header of a layer above its own.
# The layers, from the bottom: support/, platform/, net/, modules/, agent/.
# A file may include headers of its own layer and of the layers below.
#   check-layers.sh [source-dir]   checks the tree (default: this checkout)
#   check-layers.sh --self-test    shows that an upward include is caught
set -euo pipefail
layers=(support platform net modules agent)

rank() {  # layer name -> its position, or nothing for other folders
  local i
  for i in "${!layers[@]}"; do [[ ${layers[$i]} == "$1" ]] && echo "$i" && return; done
  return 0
}

check() {  # source-dir
  local top=$1 bad=0 layer file own included target
  for layer in "${layers[@]}"; do
    own=$(rank "$layer")
    while IFS= read -r file; do
      while IFS= read -r included; do
        target=$(rank "${included%%/*}")
        if [[ -n $target && $target -gt $own ]]; then
          echo "layering: ${file#"$top"/} includes $included (${included%%/*}/ is above $layer/)" >&2
          bad=1
        fi
      done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    done < <(find "$top/$layer" -type f \( -name '*.h' -o -name '*.cpp' \))
  done
  return $bad
}

if [[ ${1:-} == --self-test ]]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  for layer in "${layers[@]}"; do mkdir -p "$scratch/$layer"; done
  echo '#include "support/a.h"' >"$scratch/net/ok.h"
  check "$scratch" || { echo "self-test: a downward include was refused" >&2; exit 1; }
  echo '#include "agent/cmdagt.h"' >"$scratch/net/up.h"
  if check "$scratch" 2>/dev/null; then echo "self-test: an upward include passed" >&2; exit 1; fi
  echo "self-test: an upward include is refused"
  exit 0
fi
check "${1:-$(cd "$(dirname "$0")/.." && pwd)}"
