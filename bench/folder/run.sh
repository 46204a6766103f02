#!/usr/bin/env bash
# One folder of N small (64x64) JPEGs tagged in place, N = 300, 3,000 and 30,000 (FOLDER_SIZES to
# change), against exiftool attaching the same profile to a copy of the same folder, in the same
# run with warm caches for both. Prints the time per file, its growth from the smallest folder to
# the largest (goal: within 1.2x), and the ratio to exiftool (which does not flush; we do).
# Then (LARGE=0 skips them) 300 12-megapixel JPEGs against exiftool followed by sync, and 1,000
# small movies (insertions, moov first and last) against one ffmpeg -c copy per movie.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${TG_BUILD_DIR:-$here/../../build}
cli=${TG_CLI:-$build/bin/tintguard-cli}
sizes=${FOLDER_SIZES:-300 3000 30000}
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
  find "$work/ours" "$work/theirs" -type f -exec cat {} + > /dev/null # warm for both
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

[ "${LARGE:-1}" = 1 ] || exit 0

# 300 photos of 12 megapixels: the photo's bytes, not the file system's calls, decide here.
rm -rf "$work/ours" "$work/theirs"
mkdir "$work/ours"
ffmpeg -v error -f lavfi -i testsrc2=s=4000x3000 -frames:v 1 -q:v 3 "$work/big.jpg"
for i in $(seq -w 1 300); do cp "$work/big.jpg" "$work/ours/photo$i.jpg"; done
cp -r "$work/ours" "$work/theirs"
sync
find "$work/ours" "$work/theirs" -type f -exec cat {} + > /dev/null
t0=$(now)
"$cli" --in-place "$work/ours" > /dev/null
t1=$(now)
exiftool -q -q -overwrite_original "-icc_profile<=$work/P3.icc" "$work/theirs"
sync
t2=$(now)
printf '   300 photos of 12 MP  tintguard %7.3f s  exiftool + sync %7.3f s  ratio %.2fx\n' \
  "$(echo "$t1 - $t0" | bc -l)" "$(echo "$t2 - $t1" | bc -l)" "$(echo "($t1 - $t0) / ($t2 - $t1)" | bc -l)"
rm -rf "$work/ours" "$work/theirs"

# 1,000 small movies with no colour atom: each gets one inserted, half with moov first.
mkdir "$work/ours" "$work/theirs"
ffmpeg -v error -f lavfi -i testsrc2=s=64x48:d=0.4:r=10 -c:v libx264 -pix_fmt yuv420p "$work/last.mp4"
ffmpeg -v error -i "$work/last.mp4" -c copy -movflags +faststart "$work/first.mp4"
for i in $(seq -w 1 500); do
  cp "$work/last.mp4" "$work/ours/last$i.mp4"
  cp "$work/first.mp4" "$work/ours/first$i.mp4"
done
sync
find "$work/ours" -type f -exec cat {} + > /dev/null
t0=$(now)
"$cli" --in-place "$work/ours" > /dev/null
t1=$(now)
for f in "$work/ours"/*.mp4; do
  ffmpeg -v error -nostdin -i "$f" -c copy -color_primaries smpte432 -movflags +write_colr \
    "$work/theirs/$(basename "$f")"
done
t2=$(now)
printf '  1000 movies  tintguard %7.3f s  ffmpeg -c copy per movie %7.3f s  ratio %.3fx\n' \
  "$(echo "$t1 - $t0" | bc -l)" "$(echo "$t2 - $t1" | bc -l)" "$(echo "($t1 - $t0) / ($t2 - $t1)" | bc -l)"
