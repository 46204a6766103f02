#!/usr/bin/env bash
# Bakes a 10-second 1080p H.264 movie tagged Display P3 to BT.709 with Tintguard's pipeline and
# with the ffmpeg CLI doing the same job at the same settings (colorspace filter from P3 to
# BT.709, same encoder, bit rate, key-frame interval and preset, audio copied), in the same run.
# Prints both wall times, the ratio and frames per second.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${TG_BUILD_DIR:-$here/../../build}
bake=$build/libexec/tintguard/tintguard-bake
runs=${RUNS:-2}
secs=${SECS:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
q="ffmpeg -nostdin -hide_banner -loglevel error -y"

$q -f lavfi -i "testsrc2=s=1920x1080:r=30:d=$secs,noise=alls=2:allf=t" \
   -f lavfi -i "sine=f=440:d=$secs" -c:v libx264 -b:v 12M -pix_fmt yuv420p -c:a aac \
   -color_primaries smpte432 -color_trc bt709 -colorspace bt709 -movflags +write_colr \
   "$work/src.mov"
rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$work/src.mov")
frames=$((secs * 30))
preset=$(sed -n 's/.*X264_PRESET = "\(.*\)";/\1/p' "$here/../../bake/reencode.cpp")

now() { date +%s.%N; }
best_ours=999999 best_cli=999999
for i in $(seq "$runs"); do
  t0=$(now)
  "$bake" "$work/src.mov" "$work/ours.mov"
  t1=$(now)
  $q -i "$work/src.mov" -map 0:v:0 -map 0:a:0 \
     -vf "colorspace=all=bt709:iprimaries=smpte432:itrc=bt709:ispace=bt709:irange=tv:range=tv:format=yuv420p" \
     -c:v libx264 -preset "$preset" -b:v "$rate" -g 60 \
     -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv \
     -c:a copy -movflags +write_colr "$work/cli.mov"
  t2=$(now)
  ours=$(echo "$t1 - $t0" | bc); cli=$(echo "$t2 - $t1" | bc)
  best_ours=$(echo "if ($ours < $best_ours) $ours else $best_ours" | bc)
  best_cli=$(echo "if ($cli < $best_cli) $cli else $best_cli" | bc)
done
printf 'bake 1080p30 %ss, %s frames, %s bit/s, preset %s (best of %s)\n' "$secs" "$frames" "$rate" "$preset" "$runs"
printf '  tintguard %.2f s (%.1f fps)   ffmpeg CLI %.2f s (%.1f fps)   ratio %.2fx\n' \
  "$best_ours" "$(echo "$frames / $best_ours" | bc -l)" "$best_cli" "$(echo "$frames / $best_cli" | bc -l)" \
  "$(echo "$best_ours / $best_cli" | bc -l)"
ssim() { ffmpeg -nostdin -hide_banner -i "$1" -i "$2" -lavfi ssim -f null - 2>&1 | sed -n 's/.*All:\([0-9.]*\).*/\1/p'; }
printf '  SSIM of the two outputs against each other: %s\n' "$(ssim "$work/ours.mov" "$work/cli.mov")"
