#!/usr/bin/env bash
# Matroska tagging in place, end to end through tintguard-cli --in-place (process start-up
# included), on a ~4 GB H.264 movie with Cues at the end, against references measured in the same
# run, caches warm:
#  1. an existing Primaries patched, against mkvpropedit setting the same property (goal: at most
#     2x); the walk over every block head is timed apart through --inspect on the same copy just
#     before, which does the same walk and changes nothing;
#  2. a Colour added where no Void can take the growth, against mkvpropedit (which moves Tracks),
#     against ffmpeg -c copy -color_primaries smpte432 and against cp + sync (goals: at least 100x
#     faster than ffmpeg, at most 0.1x of cp + sync), with the route the edit took.
# SIZE_GB makes the movie smaller for a quick check of the script. Each job runs twice on a fresh
# synced copy read into the page cache; the second figures are reported.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${TG_BENCH_BUILD:-build}
CLI="$BUILD/bin/tintguard-cli"
[ -x "$CLI" ] || { echo "tintguard-cli not built (make build)"; exit 1; }
for tool in ffmpeg ffprobe mkvpropedit; do
  command -v $tool > /dev/null || { echo "$tool is missing"; exit 1; }
done
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/tg-mkv-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "work folder: $WORK ($(stat -f -c %T "$WORK"))"
q() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

source bench/measure.sh

SIZE_GB=${SIZE_GB:-4}
BYTES=$(echo "$SIZE_GB * 1000000000 / 1" | bc)

# A 4-second 640x360 clip with temporal grain at 16 Mbit/s (about camera footage's frame sizes),
# repeated by ffmpeg's muxer with -c copy: every block a real frame, Cues at the end, a CRC-32 in
# every top-level element and Cluster.
movie() { # out [ffmpeg args for the clip]
  local out=$1 clip="$WORK/clip.mkv"
  q -f lavfi -i testsrc2=s=640x360:r=25:d=4 -vf noise=alls=12:allf=t -c:v libx264 \
    -preset veryfast -b:v 16M -maxrate 16M -bufsize 8M -pix_fmt yuv420p "${@:2}" "$clip"
  local loops=$(( (BYTES + $(stat -c %s "$clip") - 1) / $(stat -c %s "$clip") - 1 ))
  q -stream_loop $loops -i "$clip" -map 0 -c copy "$out"
  rm -f "$clip"
  sync "$out"
}

# ffmpeg leaves a Void after its SeekHead that holds a Colour; here the SeekHead takes it as its
# own child (one byte of the Void's size field pays for the SeekHead's wider one, the SeekHead's
# CRC-32 made again), so no top-level Void is left before the Clusters and every position stays.
swallow_void() {
  python3 - "$1" <<'PY'
import struct, sys, zlib
def head(b, p):
    w = 1
    while not b[p] & (0x80 >> (w - 1)): w += 1
    i = int.from_bytes(b[p:p + w], "big")
    s = 1
    while not b[p + w] & (0x80 >> (s - 1)): s += 1
    size = int.from_bytes(b[p + w:p + w + s], "big") & ((1 << (7 * s)) - 1)
    return i, p + w + s, s, size
with open(sys.argv[1], "r+b") as f:
    b = f.read(4096)
    _, at, _, size = head(b, 0)
    _, seg, _, _ = head(b, at + size)
    sid, sdata, swidth, ssize = head(b, seg)
    vid, vdata, vwidth, vsize = head(b, sdata + ssize)
    assert sid == 0x114D9B74 and swidth == 1 and vid == 0xEC and vwidth == 8, "layout changed"
    void = b"\xEC" + ((1 << 49) | vsize).to_bytes(7, "big") + b[vdata:vdata + vsize]
    body = bytearray(b[sdata:sdata + ssize] + void)
    assert body[0] == 0xBF and body[1] == 0x84
    body[2:6] = struct.pack("<I", zlib.crc32(bytes(body[6:])))
    new = b[seg:seg + 4] + (0x4000 | len(body)).to_bytes(2, "big") + bytes(body)
    assert len(new) == vdata + vsize - seg
    f.seek(seg)
    f.write(new)
PY
  sync "$1"
}

report() { # label seconds bytes [reference seconds [reference name]]
  if [ $# -ge 4 ]; then
    printf '%-46s %8.3f s  %14s bytes written  %.4fx %s\n' "$1" "$2" "$3" \
      "$(echo "$2 / $4" | bc -l)" "${5:-}"
  else
    printf '%-46s %8.3f s  %14s bytes written\n' "$1" "$2" "$3"
  fi
}
fresh() { # source copy: a synced copy, read into the page cache with its source
  cp "$1" "$2"
  sync "$2"
  cat "$1" "$2" > /dev/null
}
says() { # the primaries ffprobe reads in the container, then in the first decoded frame
  echo "$(ffprobe -v error -nofind_stream_info -select_streams v \
    -show_entries stream=color_primaries -of csv=p=0 "$1") / $(ffprobe -v error -select_streams v \
    -read_intervals %+#1 -show_entries frame=color_primaries -of csv=p=0 "$1" | head -1 | cut -d, -f1)"
}

# --- 1. an existing Primaries patched -----------------------------------------------------
movie "$WORK/bt709.mkv" -color_primaries bt709 -color_trc bt709 -colorspace bt709
echo "movie: $(stat -c %s "$WORK/bt709.mkv") bytes, $(ffprobe -v error -select_streams v \
  -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$WORK/bt709.mkv") blocks"
for run in 1 2; do
  fresh "$WORK/bt709.mkv" "$WORK/tag.mkv"
  read -r w_s _ < <(measure "$CLI" --inspect "$WORK/tag.mkv")
  read -r t_s t_b < <(measure "$CLI" --in-place "$WORK/tag.mkv")
  t_says=$(says "$WORK/tag.mkv")
  rm -f "$WORK/tag.mkv"
  fresh "$WORK/bt709.mkv" "$WORK/prop.mkv"
  read -r p_s p_b < <(measure mkvpropedit -q "$WORK/prop.mkv" --edit track:v1 \
    --set color-primaries=12)
  p_says=$(says "$WORK/prop.mkv")
  rm -f "$WORK/prop.mkv"
done
rm -f "$WORK/bt709.mkv"
report "mkvpropedit, Primaries set" "$p_s" "$p_b"
report "Tintguard, Primaries patched" "$t_s" "$t_b" "$p_s" "of mkvpropedit (goal <= 2x)"
report "  of which the walk (--inspect, same walk)" "$w_s" 0 "$t_s" "of Tintguard's run"
echo "primaries after (container / first frame): Tintguard $t_says, mkvpropedit $p_says"

# --- 2. a Colour added with no Void to take it from ---------------------------------------
movie "$WORK/plain.mkv"
swallow_void "$WORK/plain.mkv"
"$CLI" --inspect "$WORK/plain.mkv" | tail -1
size=$(stat -c %s "$WORK/plain.mkv")
for run in 1 2; do
  cat "$WORK/plain.mkv" > /dev/null
  read -r c_s c_b < <(measure sh -c "cp '$WORK/plain.mkv' '$WORK/cp.mkv' && sync '$WORK/cp.mkv'")
  rm -f "$WORK/cp.mkv"
  fresh "$WORK/plain.mkv" "$WORK/tag.mkv"
  read -r t_s t_b < <(measure "$CLI" --in-place "$WORK/tag.mkv")
  grown=$(( $(stat -c %s "$WORK/tag.mkv") - size ))
  t_says=$(says "$WORK/tag.mkv")
  rm -f "$WORK/tag.mkv"
  fresh "$WORK/plain.mkv" "$WORK/prop.mkv"
  read -r p_s p_b < <(measure mkvpropedit -q "$WORK/prop.mkv" --edit track:v1 \
    --set color-primaries=12)
  p_grown=$(( $(stat -c %s "$WORK/prop.mkv") - size ))
  p_says=$(says "$WORK/prop.mkv")
  rm -f "$WORK/prop.mkv"
  cat "$WORK/plain.mkv" > /dev/null
  read -r f_s f_b < <(measure ffmpeg -nostdin -loglevel error -y -i "$WORK/plain.mkv" -map 0 \
    -c copy -color_primaries smpte432 "$WORK/ffmpeg.mkv")
  f_says=$(says "$WORK/ffmpeg.mkv")
  rm -f "$WORK/ffmpeg.mkv"
done
rm -f "$WORK/plain.mkv"
if (( grown % 4096 == 0 )); then route="whole blocks inserted"; else route="tail moved"; fi
report "cp + sync" "$c_s" "$c_b"
report "ffmpeg -c copy -color_primaries smpte432" "$f_s" "$f_b" "$c_s" "of cp + sync"
report "mkvpropedit, Colour added (grew $p_grown)" "$p_s" "$p_b" "$c_s" "of cp + sync"
report "Tintguard, Colour added (grew $grown)" "$t_s" "$t_b" "$c_s" "of cp + sync (goal <= 0.1x)"
printf 'Tintguard against ffmpeg: %.0fx faster (goal >= 100x); against mkvpropedit: %.2fx\n' \
  "$(echo "$f_s / $t_s" | bc -l)" "$(echo "$t_s / $p_s" | bc -l)"
echo "route: $route"
echo "primaries after (container / first frame): Tintguard $t_says, mkvpropedit $p_says, ffmpeg $f_says"
