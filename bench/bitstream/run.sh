#!/usr/bin/env bash
# Display P3 in the coded video too, end to end through tintguard-cli --in-place, against the
# references measured in the same run:
#  1. a 2 GB HEVC movie with moov last and parameter sets repeated at every key frame, against
#     ffmpeg's usual way to set the bitstream's primaries (hevc_metadata, a full remux);
#     goal: at least 100x faster;
#  2. a 10-minute 1080p ProRes 422 movie (a header in every frame to rewrite), against cp + sync
#     of the file; goal: at most 0.1x, with the bytes each job sent to storage;
#  3. a 2 GB HEVC movie whose parameter set states no colour (it gets a colour description in the
#     sample entry), moov first and moov last, against hevc_metadata setting all three codes;
#     goal: at least 100x faster; and, moov first, against cp + sync: goal at most 0.1x.
# The long movies are one short real encode repeated by ffmpeg's concat demuxer (stream copy), so
# every sample is a real frame. Each job runs twice on a fresh copy of the input (synced, warm in
# the page cache) and the second figures are reported.
# TG_BENCH_HEVC_BYTES and TG_BENCH_PRORES_MINUTES make them smaller; TG_BENCH_SKIP_HEVC=1 and
# TG_BENCH_SKIP_PRORES=1 leave out the first and the second.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${TG_BENCH_BUILD:-build}
CLI="$BUILD/bin/tintguard-cli"
HEVC_BYTES=${TG_BENCH_HEVC_BYTES:-2000000000}
PRORES_MINUTES=${TG_BENCH_PRORES_MINUTES:-10}
[ -x "$CLI" ] || { echo "tintguard-cli not built (make build)"; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/tg-bitstream-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "work folder: $WORK ($(stat -f -c %T "$WORK"))"
q() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

source bench/measure.sh

# A clip repeated until the movie holds at least `bytes` (by count of copies).
repeat() { # clip out copies [extra ffmpeg output args]
  local clip=$1 out=$2 copies=$3
  shift 3
  : > "$WORK/list.txt"
  for _ in $(seq "$copies"); do echo "file '$clip'" >> "$WORK/list.txt"; done
  q -f concat -safe 0 -i "$WORK/list.txt" -map 0 -c copy "$@" "$out"
  sync "$out"
}

fresh() { cp --reflink=never "$1" "$2" && sync "$2"; }
ratio() { python3 -c "import sys; a, b = float(sys.argv[1]), float(sys.argv[2]); print('%.1f' % (a / b) if b > 0 else 'inf')" "$@"; }
mib() { python3 -c "import sys; print('%.1f MiB' % (int(sys.argv[1]) / 1048576))" "$1"; }
frame_primaries() { # first and last decoded frame, decoding only near each end
  local end first last
  end=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1")
  first=$(ffprobe -v error -read_intervals %+#1 -select_streams v:0 -show_entries \
    frame=color_primaries -of default=nw=1:nk=1 "$1" | head -1)
  last=$(ffprobe -v error -read_intervals "$(python3 -c "print(max(0, $end - 1.5))")%" \
    -select_streams v:0 -show_entries frame=color_primaries -of default=nw=1:nk=1 "$1" | tail -1)
  echo "$first $last"
}

if [ "${TG_BENCH_SKIP_HEVC:-0}" != 1 ]; then
echo "== 1. HEVC, moov last, $HEVC_BYTES bytes"
q -f lavfi -i testsrc2=s=1920x1080:r=25:d=10,noise=alls=8:allf=t -c:v libx265 -preset ultrafast \
  -x265-params log-level=error:repeat-headers=1:keyint=25:bitrate=40000:vbv-maxrate=40000:vbv-bufsize=40000:colorprim=bt709:transfer=bt709:colormatrix=bt709 \
  -tag:v hvc1 "$WORK/clip.mov"
clip_size=$(stat -c %s "$WORK/clip.mov")
repeat "$WORK/clip.mov" "$WORK/hevc.mov" $(( (HEVC_BYTES + clip_size - 1) / clip_size )) -tag:v hvc1
echo "movie: $(stat -c %s "$WORK/hevc.mov") bytes, $(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$WORK/hevc.mov") samples"
for run in 1 2; do
  fresh "$WORK/hevc.mov" "$WORK/work.mov"
  read -r tg_s tg_w < <(measure "$CLI" --in-place "$WORK/work.mov")
  rm -f "$WORK/out.mov"
  read -r ff_s ff_w < <(measure ffmpeg -nostdin -loglevel error -i "$WORK/hevc.mov" -map 0 -c copy \
    -bsf:v hevc_metadata=colour_primaries=12 -movflags +write_colr -color_primaries smpte432 "$WORK/out.mov")
  sync "$WORK/out.mov"
done
echo "tintguard-cli --in-place: ${tg_s} s, wrote $(mib "$tg_w")"
echo "ffmpeg hevc_metadata remux: ${ff_s} s, wrote $(mib "$ff_w") (before its sync)"
echo "ratio: $(ratio "$ff_s" "$tg_s")x faster (goal >= 100x)"
echo "frames after (first, last): tintguard $(frame_primaries "$WORK/work.mov")/ ffmpeg $(frame_primaries "$WORK/out.mov")"
rm -f "$WORK/hevc.mov" "$WORK/work.mov" "$WORK/out.mov" "$WORK/clip.mov"
fi

if [ "${TG_BENCH_SKIP_PRORES:-0}" != 1 ]; then
echo "== 2. ProRes 422, 1080p25, $PRORES_MINUTES minutes"
# Grain keeps the encoder near ProRes 422's data rate, as camera footage does (a clean test
# pattern compresses to a third of it, and would flatter the copy).
q -f lavfi -i testsrc2=s=1920x1080:r=25:d=4,noise=alls=8:allf=t -c:v prores_ks -profile:v 2 \
  "$WORK/clip.mov"
repeat "$WORK/clip.mov" "$WORK/prores.mov" $(( PRORES_MINUTES * 15 ))
echo "movie: $(stat -c %s "$WORK/prores.mov") bytes, $(( PRORES_MINUTES * 60 * 25 )) frames"
for run in 1 2; do
  fresh "$WORK/prores.mov" "$WORK/work.mov"
  read -r tg_s tg_w < <(measure "$CLI" --in-place "$WORK/work.mov")
  rm -f "$WORK/copy.mov"
  read -r cp_s cp_w < <(measure sh -c 'cp --reflink=never "$1" "$2" && sync "$2"' sh "$WORK/prores.mov" "$WORK/copy.mov")
done
echo "tintguard-cli --in-place: ${tg_s} s, wrote $(mib "$tg_w")"
echo "cp + sync: ${cp_s} s, wrote $(mib "$cp_w")"
echo "ratio: $(python3 -c "import sys; print('%.4f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$tg_s" "$cp_s")x (goal <= 0.1x)"
echo "frames after (first, last): $(frame_primaries "$WORK/work.mov")"
rm -f "$WORK/prores.mov" "$WORK/work.mov" "$WORK/copy.mov" "$WORK/clip.mov"
fi

echo "== 3. HEVC whose parameter set states no colour, $HEVC_BYTES bytes"
q -f lavfi -i testsrc2=s=1920x1080:r=25:d=10,noise=alls=8:allf=t -c:v libx265 -preset ultrafast \
  -x265-params log-level=error:keyint=25:bitrate=40000:vbv-maxrate=40000:vbv-bufsize=40000 \
  -tag:v hvc1 "$WORK/clip.mp4"
clip_size=$(stat -c %s "$WORK/clip.mp4")
copies=$(( (HEVC_BYTES + clip_size - 1) / clip_size ))
for layout in first last; do
  flags=()
  [ "$layout" = first ] && flags=(-movflags +faststart)
  repeat "$WORK/clip.mp4" "$WORK/silent.mp4" "$copies" -tag:v hvc1 "${flags[@]}"
  for run in 1 2; do
    fresh "$WORK/silent.mp4" "$WORK/work.mp4"
    read -r tg_s tg_w < <(measure "$CLI" --in-place "$WORK/work.mp4")
    rm -f "$WORK/out.mp4" "$WORK/copy.mp4"
    read -r ff_s ff_w < <(measure ffmpeg -nostdin -loglevel error -i "$WORK/silent.mp4" -map 0 -c copy \
      -bsf:v hevc_metadata=colour_primaries=12:transfer_characteristics=1:matrix_coefficients=1 \
      -color_primaries smpte432 -movflags +write_colr "${flags[@]}" "$WORK/out.mp4")
    sync "$WORK/out.mp4"
    read -r cp_s cp_w < <(measure sh -c 'cp --reflink=never "$1" "$2" && sync "$2"' sh "$WORK/silent.mp4" "$WORK/copy.mp4")
  done
  echo "moov $layout: tintguard-cli --in-place ${tg_s} s (wrote $(mib "$tg_w")); ffmpeg ${ff_s} s; cp + sync ${cp_s} s"
  echo "moov $layout: $(ratio "$ff_s" "$tg_s")x faster than ffmpeg (goal >= 100x); $(python3 -c "import sys; print('%.4f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$tg_s" "$cp_s")x cp + sync (goal <= 0.1x, moov first)"
  echo "moov $layout: frames after (first, last): $(frame_primaries "$WORK/work.mp4")"
  rm -f "$WORK/silent.mp4" "$WORK/work.mp4" "$WORK/out.mp4" "$WORK/copy.mp4"
done
