#!/usr/bin/env bash
# Prints every include in src/ that runs up a layer (a folder including a
# folder above it) and fails when there is one. The layers, lowest first:
#   platform sector io format ops run modes app, then main.cpp
set -euo pipefail
cd "$(dirname "$0")/../src"
layers=(platform sector io format ops run modes app)
rank() { local i; for i in "${!layers[@]}"; do [[ ${layers[$i]} == "$1" ]] && { echo "$i"; return; }; done; echo 99; }
bad=0
while IFS=: read -r file line text; do
  from=${file%%/*}
  [[ $file == main.cpp ]] && from_rank=99 || from_rank=$(rank "$from")
  to=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$text")
  if [[ $to == "$text" ]]; then
    echo "$file:$line: include without its folder: $text"; bad=1; continue
  fi
  to_rank=$(rank "$to")
  if ((to_rank == 99)); then echo "$file:$line: no such layer: $text"; bad=1
  elif ((to_rank > from_rank)); then echo "$file:$line: $from includes $to, a layer above it"; bad=1
  fi
done < <(grep -rn '^#include "' --include='*.h' --include='*.cpp' --include='*.in' .  | sed 's#^\./##')
exit $bad
