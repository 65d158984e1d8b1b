#!/usr/bin/env bash
# Fails when a source file includes a header from a folder above its own.
# The order, lowest first; folders on one line are siblings and include none
# of each other. tests/ and bench/ may include anything.
#   usage: check-layering.sh [source root]   (default: the repository)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}

layers=(
  "platform"
  "format"
  "core"
  "resources"
  "script"
  "graphics"
  "image"
  "d3d sound save system"
  "app"
  "kxtool settings rirud"
)

declare -A rank
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

status=0
while IFS= read -r -d '' file; do
  rel=${file#"$root"/}
  case $rel in
    src/*) own=$(echo "$rel" | cut -d/ -f2) ;;
    tools/*) own=$(echo "$rel" | cut -d/ -f2) ;;
    *) continue ;;
  esac
  [ -n "${rank[$own]+x}" ] || { echo "$rel: folder '$own' has no place in the layer order"; status=1; continue; }
  while IFS= read -r line; do
    num=${line%%:*}
    target=$(echo "$line" | sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/')
    [ "$target" = "$line" ] && continue
    [ -n "${rank[$target]+x}" ] || continue
    [ "$target" = "$own" ] && continue
    if [ "${rank[$target]}" -ge "${rank[$own]}" ]; then
      echo "$rel:$num: $own includes $target, which is not below it"
      status=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$file" || true)
done < <(find "$root/src" "$root/tools" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) -print0 2>/dev/null)

[ $status -eq 0 ] && echo "layering: every include points down"
exit $status
