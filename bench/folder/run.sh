#!/usr/bin/env bash
# One folder of N small (64x64) JPEGs tagged in place, N = 300 and 3,000 (FOLDER_SIZES to change),
# against exiftool attaching the same profile to a copy of the same folder, in the same run with
# warm caches for both. Prints the time per file, its growth from the smallest folder to the
# largest (goal: within 1.2x), and the ratio to exiftool (which does not flush; we do).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${TG_BUILD_DIR:-$here/../../build}
cli=${TG_CLI:-$build/bin/tintguard-cli}
sizes=${FOLDER_SIZES:-300 3000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -v error -f lavfi -i testsrc2=s=64x64 -frames:v 1 "$work/seed.jpg"
# The profile we write, as exiftool reads it from a photo we tagged.
cp "$work/seed.jpg" "$work/tagged.jpg"
"$cli" --in-place "$work/tagged.jpg" > /dev/null
exiftool -b -icc_profile "$work/tagged.jpg" > "$work/P3.icc"

now() { date +%s.%N; }
first=""
for n in $sizes; do
  rm -rf "$work/ours" "$work/theirs"
  mkdir "$work/ours"
  for i in $(seq -w 1 "$n"); do cp "$work/seed.jpg" "$work/ours/photo$i.jpg"; done
  cp -r "$work/ours" "$work/theirs"
  sync
  cat "$work"/ours/* "$work"/theirs/* > /dev/null # warm for both
  t0=$(now)
  "$cli" --in-place "$work/ours" > /dev/null
  t1=$(now)
  exiftool -q -q -overwrite_original "-icc_profile<=$work/P3.icc" "$work/theirs"
  t2=$(now)
  ours=$(echo "$t1 - $t0" | bc -l)
  theirs=$(echo "$t2 - $t1" | bc -l)
  per=$(echo "$ours * 1000 / $n" | bc -l)
  [ -n "$first" ] || first=$per
  printf '%6d photos  tintguard %7.3f s (%.2f ms a photo, %.2fx the first folder)  exiftool %7.3f s  ratio %.2fx\n' \
    "$n" "$ours" "$per" "$(echo "$per / $first" | bc -l)" "$theirs" "$(echo "$ours / $theirs" | bc -l)"
done
