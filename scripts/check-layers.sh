#!/usr/bin/env bash
# Fails when a source file includes a header of a layer it may not see.
# The layers, lowest first, and what each may include besides itself:
#   base: nothing      net: base      chat: base
#   web: base net chat                app: every layer
#   helper (korimo-bind, its own program): the helper exchange of net only
# Usage: check-layers.sh [SRC_DIR]     (default: the repository's src/)
set -uo pipefail
src=${1:-$(dirname "$0")/../src}
declare -A allowed=(
  [base]="base"
  [net]="base net"
  [chat]="base chat"
  [web]="base net chat web"
  [app]="base net chat web app"
  [helper]="net"
)
bad=0
for layer in "${!allowed[@]}"; do
  [ -d "$src/$layer" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$rest")
    case " ${allowed[$layer]} " in
      *" $target "*) ;;
      *) echo "$file:$line: $layer may not include $target: ${rest#*:}"; bad=1 ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include "[a-z]+/' "$src/$layer")
done
# Every folder of src/ must be a known layer.
for d in "$src"/*/; do
  name=$(basename "$d")
  [ -n "${allowed[$name]:-}" ] || { echo "$d: not a known layer"; bad=1; }
done
[ $bad -eq 0 ] && echo "layering: every include points down"
exit $bad
