#!/usr/bin/env bash
# Tags a 24-megapixel JPEG and a 24-megapixel 16-bit TIFF, against ImageMagick doing the usual
# job (strip, attach the profile, write at quality 100), in the same run; prints the ratio and
# whether the decoded pixels stayed identical.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${TG_BUILD_DIR:-$here/../../build}
tag=$build/bench/tg_image_tag
dump=$build/bench/tg_p3_profile
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$dump" > "$work/DisplayP3.icc"
# Detailed 6000x4000 content, so the codecs have real work to do.
convert -size 1500x1000 plasma:fractal -seed 7 -resize 6000x4000! -attenuate 0.3 +noise Gaussian \
  "$work/src.ppm"
convert "$work/src.ppm" -quality 92 "$work/src.jpg"
exiftool -q -q -overwrite_original -Make=Bench -Orientation=6 -n "$work/src.jpg"
convert "$work/src.ppm" -depth 16 -compress lzw "$work/src.tif"

now() { date +%s.%N; }
pixels() { convert "$1" rgb:- | md5sum | cut -d' ' -f1; }

bench() { # format
  local src=$work/src.$1 ours=0 theirs=0 t0 t1
  for i in $(seq "$runs"); do
    cp "$src" "$work/ours.$1"
    sync "$work/ours.$1"
    t0=$(now)
    if ! "$tag" "$work/ours.$1" > "$work/result"; then
      echo "$1: tintguard could not tag it: $(cat "$work/result")"
      return 0
    fi
    t1=$(now)
    ours=$(echo "$ours + $t1 - $t0" | bc)
    t0=$(now)
    convert "$src" -strip -profile "$work/DisplayP3.icc" -quality 100 "$work/magick.$1"
    t1=$(now)
    theirs=$(echo "$theirs + $t1 - $t0" | bc)
  done
  local same_ours same_magick
  [ "$(pixels "$src")" = "$(pixels "$work/ours.$1")" ] && same_ours=yes || same_ours=NO
  [ "$(pixels "$src")" = "$(pixels "$work/magick.$1")" ] && same_magick=yes || same_magick=no
  printf '%-4s 6000x4000  tintguard %.3f s  imagemagick %.3f s  ratio %.1fx  pixels identical: tintguard %s, imagemagick %s\n' \
    "$1" "$(echo "$ours / $runs" | bc -l)" "$(echo "$theirs / $runs" | bc -l)" \
    "$(echo "$theirs / $ours" | bc -l)" "$same_ours" "$same_magick"
}

bench jpg
bench tif

bash "$here/heif.sh"
