#!/usr/bin/env bash
# Fails when a file of the agent includes a header of a layer above its own.
# The layers, from the bottom: support/, platform/, net/, modules/, agent/.
# A file may include headers of its own layer and of the layers below, named
# from the top ("net/tcpip.h"); a relative path ("../agent/cmdagt.h", or any
# ".." in it) is refused, since it resolves beside the including file and
# passes the include roots the build gives each layer.
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
        if [[ $included == ../* || $included == */../* || $included == .. || $included == */.. ]]; then
          echo "layering: ${file#"$top"/} includes $included (a relative path: name the header from the top)" >&2
          bad=1
          continue
        fi
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
  rm "$scratch/net/up.h"
  for relative in ../agent/cmdagt.h ../support/a.h net/../agent/cmdagt.h; do
    echo "#include \"$relative\"" >"$scratch/net/relative.h"
    if check "$scratch" 2>/dev/null; then echo "self-test: a relative include ($relative) passed" >&2; exit 1; fi
  done
  echo "self-test: an upward include and a relative include are refused"
  exit 0
fi
check "${1:-$(cd "$(dirname "$0")/.." && pwd)}"
