#!/usr/bin/env bash
# Movie tagging against its references, measured in the same run:
#  1. the in-place patch of a 2 GB movie with moov at the end, against the usual ffmpeg remux
#     that writes the tag (goal: at least 100x faster, reading only moov);
#  2. the insertion into a 1 GB movie with moov first, against cp + fsync of the same file, the
#     physical limit for moving the tail (goal: at most 1.2x; peak memory <= moov + 16 MiB).
# Each job runs twice and the second (warm page cache) figures are reported.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${TG_BENCH_BUILD:-build}
TAG="$BUILD/bench/tg_movie_tag"
[ -x "$TAG" ] || TAG=$(find "$BUILD" -name tg_movie_tag -type f -perm -u+x | head -1)
[ -x "$TAG" ] || { echo "tg_movie_tag not built (make bench)"; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/tg-movie-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
q() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
now() { date +%s.%N; }
field() { sed -n "s/^$1=//p"; }

# --- 1. in-place patch vs remux -----------------------------------------------------------
# 2 GB of raw 1080p frames (cheap to make, and ffmpeg must read every byte to remux them),
# colour tagged BT.709 so that an nclc atom is there to patch; moov at the end.
q -f lavfi -i "color=c=gray:s=1920x1080:r=25,format=uyvy422" -frames:v 520 -c:v rawvideo \
  -color_primaries bt709 -color_trc bt709 -colorspace bt709 "$WORK/big.mov"
BIG=$(stat -c %s "$WORK/big.mov")
# Resets the tag to BT.709 so that every run has a patch to make.
untag() { python3 - "$1" <<'PY'
import mmap, sys
with open(sys.argv[1], "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
    i = m.rfind(b"colrnclc")
    m[i + 8:i + 10] = b"\x00\x01"
PY
}
for run in 1 2; do
  untag "$WORK/big.mov"
  out=$("$TAG" core "$WORK/big.mov")
  t0=$(now)
  q -i "$WORK/big.mov" -map 0 -c copy -movflags +write_colr -color_primaries smpte432 "$WORK/remux.mov"
  t1=$(now)
  rm -f "$WORK/remux.mov"
done
patch_s=$(echo "$out" | field seconds)
patch_read=$(echo "$out" | field rchar)
remux_s=$(echo "$t1 - $t0" | bc -l)
echo "patch: $(echo "$out" | field message) in ${patch_s}s, read ${patch_read} bytes of a ${BIG}-byte file"
echo "remux: ${remux_s}s"
printf 'patch speed-up: %.0fx\n' "$(echo "$remux_s / $patch_s" | bc -l)"

# --- 2. insertion vs cp --------------------------------------------------------------------
# A small real H.264 movie with moov first, its mdat padded with written zeros to 1 GB.
q -f lavfi -i testsrc2=s=640x360:r=25:d=4 -c:v libx264 -movflags +faststart "$WORK/small.mp4"
python3 - "$WORK/small.mp4" "$WORK/one.mp4" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read()
target = 1 << 30
out = open(sys.argv[2], "wb")
p = 0
while p < len(d):
    size, typ = struct.unpack(">I4s", d[p:p + 8])
    if typ == b"mdat":
        pad = target - len(d)
        out.write(struct.pack(">I4s", size + pad, typ) + d[p + 8:p + size])
        chunk = b"\0" * (8 << 20)
        while pad > 0:
            out.write(chunk[:min(pad, len(chunk))])
            pad -= min(pad, len(chunk))
    else:
        out.write(d[p:p + size])
    p += size
PY
MOOV=$(python3 -c "
import struct,sys
d=open(sys.argv[1],'rb').read(64<<10);p=0
while True:
    s,t=struct.unpack('>I4s',d[p:p+8])
    if t==b'moov': print(s); break
    p+=s" "$WORK/one.mp4")
for run in 1 2; do
  t0=$(now); cp "$WORK/one.mp4" "$WORK/cp.mp4"; sync "$WORK/cp.mp4"; t1=$(now)
  cp_s=$(echo "$t1 - $t0" | bc -l)
  rm -f "$WORK/cp.mp4"
  cp "$WORK/one.mp4" "$WORK/tag.mp4"; sync "$WORK/tag.mp4"
  out=$("$TAG" core "$WORK/tag.mp4")
  rm -f "$WORK/tag.mp4"
done
ins_s=$(echo "$out" | field seconds)
rss=$(echo "$out" | field maxrss_kb)
echo "insert: $(echo "$out" | field message) in ${ins_s}s; cp + fsync: ${cp_s}s"
printf 'insert / cp ratio: %.2f\n' "$(echo "$ins_s / $cp_s" | bc -l)"
echo "peak RSS: ${rss} KiB; moov: ${MOOV} bytes; budget moov + 16 MiB = $(( (MOOV + (16 << 20)) / 1024 )) KiB"
