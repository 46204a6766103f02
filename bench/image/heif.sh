#!/usr/bin/env bash
# Tags a 12-megapixel HEIC (4032x3024, made once by ImageMagick through libheif and cached)
# through tintguard-cli --in-place, against cp + sync of the same file and against ImageMagick
# attaching the profile (`convert in.heic -profile DisplayP3.icc out.heic`, which re-encodes), in
# the same run. Prints the medians, the ratio to cp + sync (goal: at most 3x), the peak memory of
# the tag (goal: at most 32 MiB) and whether the decoded pixels stayed identical.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${TG_BUILD_DIR:-$here/../../build}
cli=$build/bin/tintguard-cli
dump=$build/bench/tg_p3_profile
runs=${RUNS:-7}
[ -x "$cli" ] && [ -x "$dump" ] || { echo "tintguard-cli or tg_p3_profile not built (make bench)"; exit 1; }
cache=$build/bench/cache
mkdir -p "$cache"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/tg-heif-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

src=$cache/p12.heic
if [ ! -s "$src" ]; then
  convert -size 1008x756 plasma:fractal -seed 7 -resize 4032x3024! -attenuate 0.3 \
    +noise Gaussian -quality 90 "$work/p12.heic"
  mv "$work/p12.heic" "$src"
fi
"$dump" > "$work/DisplayP3.icc"

now() { date +%s.%N; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
pixels() { convert "$1" rgb:- | md5sum | cut -d' ' -f1; }

: > "$work/ours" ; : > "$work/cp" ; : > "$work/magick"
for i in $(seq "$runs"); do
  cp "$src" "$work/ours.heic"
  sync "$work/ours.heic"
  t0=$(now)
  "$cli" --in-place "$work/ours.heic" > "$work/result" || { cat "$work/result"; exit 1; }
  t1=$(now)
  echo "$t1 - $t0" | bc >> "$work/ours"

  rm -f "$work/copy.heic"
  t0=$(now)
  cp "$src" "$work/copy.heic"
  sync "$work/copy.heic"
  t1=$(now)
  echo "$t1 - $t0" | bc >> "$work/cp"
done
# ImageMagick takes seconds per run; three are enough for a median.
for i in 1 2 3; do
  t0=$(now)
  convert "$src" -profile "$work/DisplayP3.icc" "$work/magick.heic"
  t1=$(now)
  echo "$t1 - $t0" | bc >> "$work/magick"
done

cp "$src" "$work/mem.heic"
peak=$( { /usr/bin/time -f %M "$cli" --in-place "$work/mem.heic" > /dev/null; } 2>&1 | tail -1)
ours=$(median < "$work/ours"); copy=$(median < "$work/cp"); magick=$(median < "$work/magick")
[ "$(pixels "$src")" = "$(pixels "$work/ours.heic")" ] && same=yes || same=NO
[ "$(pixels "$src")" = "$(pixels "$work/magick.heic")" ] && same_magick=yes || same_magick=no
printf 'heic 4032x3024 %s bytes, median of %d: tintguard %.3f s  cp+sync %.3f s  ratio %.2fx (goal <= 3x)\n' \
  "$(stat -c %s "$src")" "$runs" "$ours" "$copy" "$(echo "$ours / $copy" | bc -l)"
printf '  peak memory %s KiB (goal <= 32768)  imagemagick -profile %.3f s (%.1fx slower than tintguard)\n' \
  "$peak" "$magick" "$(echo "$magick / $ours" | bc -l)"
printf '  pixels identical: tintguard %s, imagemagick %s\n' "$same" "$same_magick"
