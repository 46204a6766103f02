#!/usr/bin/env bash
# Picks the encoder speed preset: encodes one realistic 1080p clip at a fixed bit rate with every
# x264/x265 preset and prints SSIM against the source and the wall time of each.
# Usage: preset.sh [libx264|libx265] [seconds] [bitrate] [presets...]
set -euo pipefail
codec=${1:-libx264}
secs=${2:-10}
rate=${3:-4000000}
shift $(( $# < 3 ? $# : 3 ))
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(ultrafast superfast veryfast faster fast medium)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
q="ffmpeg -nostdin -hide_banner -loglevel error -y"
# Moving test pattern with a light grain: detail and motion make presets differ, while the grain
# stays small enough not to swamp SSIM.
$q -f lavfi -i "testsrc2=s=1920x1080:r=30:d=$secs,noise=alls=2:allf=t" \
   -c:v libx264 -qp 4 -pix_fmt yuv420p "$work/src.mkv"
for preset in "${presets[@]}"; do
  extra=()
  [ "$codec" = libx265 ] && extra=(-x265-params log-level=error)
  start=$(date +%s.%N)
  $q -i "$work/src.mkv" -c:v "$codec" -preset "$preset" -b:v "$rate" -g 60 "${extra[@]}" \
     -pix_fmt yuv420p "$work/out.mp4"
  end=$(date +%s.%N)
  ssim=$(ffmpeg -nostdin -hide_banner -i "$work/out.mp4" -i "$work/src.mkv" -lavfi ssim -f null - 2>&1 |
         sed -n 's/.*All:\([0-9.]*\).*/\1/p')
  printf '%s %-10s ssim %s  %.1f s\n' "$codec" "$preset" "$ssim" "$(echo "$end - $start" | bc)"
done
