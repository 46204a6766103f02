#!/usr/bin/env bash
# Fails when a source includes a header from a room that is not below its own.
# The rooms, lowest first, and what each may include besides itself.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
declare -A allowed=(
  [base]=""
  [model]="base"
  [bmff]="base"
  [codec]="base"
  [ebml]="base model"
  [edit]="base model"
  [movie]="base model bmff codec edit"
  [image]="base model bmff codec edit"
  [matroska]="base model ebml codec edit"
  [bake]="base model"
  [pipeline]="base model bmff ebml codec edit movie matroska image bake"
  [cli]="base model pipeline"
  [app]="base model pipeline"
)
# The pipeline reaches the bake only through the helper's protocol, never its FFmpeg code.
bad=0
for room in "${!allowed[@]}"; do
  [ -d "$root/$room" ] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    header=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
    target=${header%%/*}
    [ "$target" = "$header" ] && continue # a header beside the source
    [ "$target" = "$room" ] && continue
    if [ -z "${allowed[$target]+x}" ]; then continue; fi
    if [[ " ${allowed[$room]} " != *" $target "* ]]; then
      echo "layering: ${file#"$root"/} includes $header, from a room above or beside $room"
      bad=1
    fi
    if [ "$room" = pipeline ] && [ "$target" = bake ] && [ "$header" != bake/helper_protocol.h ]; then
      echo "layering: ${file#"$root"/} includes $header; the pipeline starts the bake helper instead"
      bad=1
    fi
  done < <(grep -rHn --include='*.cpp' --include='*.h' '^#include "' "$root/$room" | sed -E 's/^([^:]+):[0-9]+:/\1:/')
done
exit $bad
