#!/usr/bin/env bash
# Movie tagging in place, end to end through tintguard-cli --in-place, against references measured
# in the same run, with the bytes each job wrote to storage:
#  1. insertion into a 1 GB movie with moov first (whole blocks inserted, ext4), against cp + sync
#     of the same file (goal: at most 0.05x);
#  2. the same at 8 GB: the time must not grow with the file;
#  3. the recoverable tail shift (the route of file systems without range insertion) on the 1 GB
#     movie, against cp --reflink=never + sync (goal: at most 2.2x); forced through the file
#     layer's test instrumentation by tg_movie_tag, since the program has no switch for it;
#  4. insertion into a movie with moov last, and the 2-byte patch, at 1 GB and 8 GB: O(moov).
# Every input is synced first; 1 to 3 run with the input in the page cache and without it; each
# job runs twice and the second figures are reported.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${TG_BENCH_BUILD:-build}
CLI="$BUILD/bin/tintguard-cli"
TAG="$BUILD/bench/tg_movie_tag"
[ -x "$CLI" ] || { echo "tintguard-cli not built (make build)"; exit 1; }
[ -x "$TAG" ] || { echo "tg_movie_tag not built (make bench)"; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/tg-movie-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "work folder: $WORK ($(stat -f -c %T "$WORK"))"
q() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

source bench/measure.sh

# Builds a movie from a small real clip padded with a top-level free atom of `size` bytes in
# all: behind everything when moov comes first, in front of moov when it comes last (no chunk
# offset changes either way). dense writes the padding; sparse leaves it a hole.
pad() { # clip out size dense|sparse
  python3 - "$@" <<'PY'
import struct, sys
src, dst, total, how = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
d = open(src, "rb").read()
atoms, p = [], 0
while p < len(d):
    size, typ = struct.unpack(">I4s", d[p:p + 8])
    atoms.append((typ, d[p:p + size]))
    p += size
moov_first = [t for t, _ in atoms].index(b"moov") < [t for t, _ in atoms].index(b"mdat")
size = total - len(d)
header = struct.pack(">I4sQ", 1, b"free", size) if size >= 1 << 32 else struct.pack(">I4s", size, b"free")
with open(dst, "wb") as out:
    def padding():
        out.write(header)
        left = size - len(header)
        if how == "sparse":
            out.seek(left, 1)
            out.truncate()
            return
        chunk = b"\0" * (8 << 20)
        while left > 0:
            out.write(chunk[:min(left, len(chunk))])
            left -= min(left, len(chunk))
    for typ, body in atoms:
        if typ == b"moov" and not moov_first:
            padding()
        out.write(body)
    if moov_first:
        padding()
PY
  sync "$2"
}

q -f lavfi -i testsrc2=s=640x360:r=25:d=4 -c:v libx264 -pix_fmt yuv420p -movflags +faststart "$WORK/first.mp4"
q -f lavfi -i testsrc2=s=640x360:r=25:d=4 -c:v libx264 -pix_fmt yuv420p "$WORK/last.mp4"
q -f lavfi -i testsrc2=s=640x360:r=25:d=4 -c:v libx264 -pix_fmt yuv420p \
  -color_primaries bt709 -color_trc bt709 -colorspace bt709 "$WORK/nclc.mov"
GB=${TG_BENCH_GB:-1000000000} # smaller for a quick check of the script

report() { # label seconds bytes [reference seconds]
  if [ $# -ge 4 ]; then
    printf '%-40s %8.3f s  %14s bytes written  ratio %.3fx\n' "$1" "$2" "$3" "$(echo "$2 / $4" | bc -l)"
  else
    printf '%-40s %8.3f s  %14s bytes written\n' "$1" "$2" "$3"
  fi
}

# Drops a synced file's pages from the page cache, as for a master that was not just written.
# A range insertion makes the kernel drop the cached pages of everything behind it: that part of
# its time grows with the cached tail, so both cases are measured, each job against its
# reference in the same state.
evict() {
  python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY); os.fsync(fd); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
}
prepare() { # cache file...
  for f in "${@:2}"; do
    sync "$f"
    if [ "$1" = cold ]; then evict "$f"; else cat "$f" > /dev/null; fi
  done
}

# --- 1. and 3. at 1 GB: range insertion, shift, and their references -----------------------
pad "$WORK/first.mp4" "$WORK/one.mp4" $GB dense
for cache in warm cold; do
  for run in 1 2; do
    prepare $cache "$WORK/one.mp4"
    read -r cp_s cp_b < <(measure sh -c "cp '$WORK/one.mp4' '$WORK/cp.mp4' && sync '$WORK/cp.mp4'")
    rm -f "$WORK/cp.mp4"
    prepare $cache "$WORK/one.mp4"
    read -r nr_s nr_b < <(measure sh -c "cp --reflink=never '$WORK/one.mp4' '$WORK/cp.mp4' && sync '$WORK/cp.mp4'")
    rm -f "$WORK/cp.mp4"
    cp "$WORK/one.mp4" "$WORK/tag.mp4"; prepare $cache "$WORK/tag.mp4"
    read -r b_s b_b < <(measure "$CLI" --in-place "$WORK/tag.mp4")
    grown=$(( $(stat -c %s "$WORK/tag.mp4") - $(stat -c %s "$WORK/one.mp4") ))
    cp "$WORK/one.mp4" "$WORK/tag.mp4"; prepare $cache "$WORK/tag.mp4"
    read -r c_s c_b < <(measure "$TAG" shift "$WORK/tag.mp4")
    rm -f "$WORK/tag.mp4"
  done
  report "cp + sync, 1 GB, $cache" "$cp_s" "$cp_b"
  report "insertion, 1 GB moov first (grew $grown)" "$b_s" "$b_b" "$cp_s"
  report "cp --reflink=never + sync, 1 GB, $cache" "$nr_s" "$nr_b"
  report "shift, 1 GB moov first (forced)" "$c_s" "$c_b" "$nr_s"
  eval "b1_$cache=$b_s"
done

# --- 4. at 1 GB: moov last, and the patch ---------------------------------------------------
pad "$WORK/last.mp4" "$WORK/last1.mp4" $GB dense
pad "$WORK/nclc.mov" "$WORK/nclc1.mov" $GB dense
for run in 1 2; do
  cp "$WORK/last1.mp4" "$WORK/tag.mp4"; sync "$WORK/tag.mp4"
  read -r l1_s l1_b < <(measure "$CLI" --in-place "$WORK/tag.mp4")
  cp "$WORK/nclc1.mov" "$WORK/tag.mov"; sync "$WORK/tag.mov"
  read -r p1_s p1_b < <(measure "$CLI" --in-place "$WORK/tag.mov")
  rm -f "$WORK/tag.mp4" "$WORK/tag.mov"
done
rm -f "$WORK/one.mp4" "$WORK/last1.mp4" "$WORK/nclc1.mov"
report "insertion, 1 GB moov last" "$l1_s" "$l1_b"
report "patch, 1 GB" "$p1_s" "$p1_b"

# --- 2. and 4. at 8 GB ----------------------------------------------------------------------
pad "$WORK/first.mp4" "$WORK/eight.mp4" $((8 * GB)) dense
for cache in warm cold; do
  for run in 1 2; do
    prepare $cache "$WORK/eight.mp4"
    read -r b8_s b8_b < <(measure "$CLI" --in-place "$WORK/eight.mp4")
    rm -f "$WORK/eight.mp4"
    [ $run = 2 ] && [ $cache = cold ] || pad "$WORK/first.mp4" "$WORK/eight.mp4" $((8 * GB)) dense
  done
  report "insertion, 8 GB moov first, $cache" "$b8_s" "$b8_b"
  printf 'insertion 8 GB / 1 GB, %s: %.2fx\n' $cache "$(echo "$b8_s / $(eval echo \$b1_$cache)" | bc -l)"
done
# The rest read only moov; their padding is left a hole to spare the disk.
pad "$WORK/last.mp4" "$WORK/last8.mp4" $((8 * GB)) sparse
pad "$WORK/nclc.mov" "$WORK/nclc8.mov" $((8 * GB)) sparse
for run in 1 2; do
  cp --sparse=always "$WORK/last8.mp4" "$WORK/tag.mp4"; sync "$WORK/tag.mp4"
  read -r l8_s l8_b < <(measure "$CLI" --in-place "$WORK/tag.mp4")
  cp --sparse=always "$WORK/nclc8.mov" "$WORK/tag.mov"; sync "$WORK/tag.mov"
  read -r p8_s p8_b < <(measure "$CLI" --in-place "$WORK/tag.mov")
  rm -f "$WORK/tag.mp4" "$WORK/tag.mov"
done
report "insertion, 8 GB moov last" "$l8_s" "$l8_b"
report "patch, 8 GB" "$p8_s" "$p8_b"
