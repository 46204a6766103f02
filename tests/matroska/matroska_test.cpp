// Matroska and WebM tagged in place, on files two muxers make: each layout meets the route its
// padding allows, and every independent reader agrees afterwards (mkvinfo, ffprobe, GStreamer and
// mediainfo read the new Colour, the frames decode the same, every CRC-32 verifies, mkvmerge still
// identifies the file); files that are not Matroska, or are cut short or damaged, are refused
// untouched.
#include "mkv_fixtures.h"

#include "ebml/ebml.h"
#include "matroska/mkv_decision.h"
#include "matroska/mkv_edit.h"
#include "matroska/mkv_loader.h"

using namespace tg;
using namespace mkvtest;
using enum TGOutcome;

namespace {

enum class Muxer { ffmpeg, mkvmerge, gstreamer };

struct Layout {
    const char* name;
    const char* ext;
    std::string args; // ffmpeg's, or the middle of a GStreamer pipeline
    Muxer muxer;
    std::string message;
    std::string route; // --inspect's detail: how the edit makes room
    bool grows;        // the file grows (the tail moves)
    bool frames;       // the coded video states its colour: every decoded frame says P3 after
    int tracks = 1;
    std::uint32_t near64k = 0; // the element made to start just short of 64 KiB
    friend void PrintTo(const Layout& c, std::ostream* os) { *os << c.name; }
};

const std::string SAME = "same-length patch";
const std::string BEFORE = "Tracks grows into the Void before it";
const std::string GROWS = "Tracks grows: a Void after it, else blocks inserted or the tail moved";
const std::string X265 = "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p ";
const std::string AV1 = "-c:v libaom-av1 -cpu-used 8 -pix_fmt yuv420p ";
// Parameter sets at every key frame, in the blocks.
const std::string IN_BAND =
    "-g 4 -x264-params repeat-headers=1:colorprim=bt709:transfer=bt709:colormatrix=bt709 ";

void make(const fs::path& file, const Layout& c) {
    if (c.muxer == Muxer::gstreamer) {
        ASSERT_EQ(run("timeout 120 gst-launch-1.0 -q videotestsrc num-buffers=15 ! "
                      "video/x-raw,width=64,height=48 ! " +
                      c.args + " ! filesink location=" + sh(file))
                      .status,
                  0);
        return;
    }
    if (c.near64k) return makeNear64k(file, SRC + c.args, c.near64k);
    makeMatroska(file, SRC + c.args, c.muxer == Muxer::mkvmerge);
}

class Layouts : public ::testing::TestWithParam<Layout> {};

TEST_P(Layouts, TaggedInPlaceAndEveryReaderAgrees) {
    const Layout& c = GetParam();
    TempDir dir;
    const auto file = dir / (std::string("clip.") + c.ext);
    make(file, c);
    const auto original = dir / (std::string("original.") + c.ext);
    fs::copy_file(file, original);
    const auto before = crcs(original);

    const auto look = inspectMatroska(file);
    EXPECT_EQ(look.inPlace.message, c.message);
    EXPECT_EQ(look.route, c.route);
    ASSERT_EQ(int(look.tracks.size()), c.tracks);

    const TGResult r = tagMatroska(file);
    EXPECT_EQ(r.message, c.message) << r.detail.value_or("");
    EXPECT_EQ(fs::file_size(file) > fs::file_size(original), c.grows);
    EXPECT_EQ(r.layers.size(), c.frames ? 2u : 1u);

    std::string twelve, p3;
    for (int i = 0; i < c.tracks; ++i) {
        twelve += "12 ";
        p3 += "smpte432\n";
    }
    EXPECT_EQ(mkvinfoPrimaries(file), twelve);
    EXPECT_EQ(containerPrimaries(file), p3);
    // GStreamer's demuxer and decoders and mediainfo read it too; mediainfo names an "Original"
    // where the container and the coded stream disagree.
    EXPECT_EQ(gstPrimaries(file), "11");
    const auto info = mediainfoVideo(file);
    EXPECT_EQ(info.value("colour_primaries", ""), "Display P3");
    EXPECT_FALSE(info.contains("colour_primaries_Original"));
    if (c.frames) {
        const auto frames = framePrimaries(file);
        EXPECT_FALSE(frames.empty());
        EXPECT_EQ(frames, std::vector<std::string>(frames.size(), "smpte432"));
    }
    EXPECT_EQ(frameHashes(file), frameHashes(original));
    EXPECT_FALSE(frameHashes(file).empty());
    EXPECT_TRUE(identifies(file));
    // A live recording has no SeekHead or Cues.
    EXPECT_EQ(positionsHold(file), c.muxer != Muxer::gstreamer);
    const auto after = crcs(file);
    EXPECT_TRUE(after.walked);
    EXPECT_EQ(after.bad, 0);
    EXPECT_EQ(after.checked, before.checked);
    EXPECT_TRUE(journals(dir.path()).empty());
    // A seek goes through the Cues, which must still point at Clusters.
    EXPECT_EQ(run("ffmpeg -v error -ss 0.4 -i " + sh(file) + " -frames:v 1 -f null -").status, 0);

    const TGResult again = tagMatroska(file);
    EXPECT_EQ(again.message, "Already Display-P3");
}

INSTANTIATE_TEST_SUITE_P(
    Muxers, Layouts,
    ::testing::ValuesIn(std::vector<Layout>{
        // ffmpeg leaves a Void of about 90 bytes after the SeekHead, before Info, and writes a
        // CRC-32 in every top-level element of a .mkv, Clusters included (none in WebM).
        {"ffmpeg_h264_colour", "mkv", X264 + BT709, Muxer::ffmpeg, FIXED, SAME, false, true},
        {"ffmpeg_h264_in_band", "mkv", X264 + IN_BAND, Muxer::ffmpeg, ADDED, BEFORE, false, true},
        // Parameter sets that state no colour are rebuilt to state it: CodecPrivate grows too.
        {"ffmpeg_hevc", "mkv", X265, Muxer::ffmpeg, ADDED, BEFORE, false, true},
        {"ffmpeg_hevc_colour", "mkv", X265 + BT709, Muxer::ffmpeg, FIXED, SAME, false, true},
        {"ffmpeg_av1_colour", "mkv", AV1 + BT709, Muxer::ffmpeg, FIXED, SAME, false, true},
        // Every ProRes frame header, which Matroska keeps without its first 8 bytes.
        {"ffmpeg_prores_colour", "mkv", "-c:v prores_ks " + BT709, Muxer::ffmpeg, FIXED, SAME,
         false, true},
        {"ffmpeg_vp9_webm", "webm", VP9, Muxer::ffmpeg, ADDED, BEFORE, false, false},
        // mkvmerge leaves about 1 KB of Void right after Tracks (and one of 4 KB before Info),
        // and writes no CRC-32.
        {"mkvmerge_h264", "mkv", X264, Muxer::mkvmerge, ADDED, GROWS, false, true},
        {"mkvmerge_h264_colour", "mkv", X264 + BT709, Muxer::mkvmerge, FIXED, SAME, false, true},
        // Eight tracks need more than ffmpeg's Void holds: the tail moves, and with it every
        // Cluster the SeekHead and Cues point at (Cues at the end, or in the tail before them).
        {"ffmpeg_eight_tracks", "mkv", X264 + EIGHT, Muxer::ffmpeg, ADDED, GROWS, true, true, 8},
        {"ffmpeg_eight_tracks_cues_first", "mkv", X264 + EIGHT + CUES_FIRST, Muxer::ffmpeg, ADDED,
         GROWS, true, true, 8},
        // The move takes a position past two bytes: it is written wider, in the Void behind its
        // table (the Cues in front; the SeekHead, naming the Cues at the end).
        {"ffmpeg_eight_tracks_cluster_widens", "mkv", X264 + EIGHT, Muxer::ffmpeg, ADDED, GROWS,
         true, true, 8, CLUSTER_ID},
        {"ffmpeg_eight_tracks_seek_widens", "mkv", X264 + EIGHT, Muxer::ffmpeg, ADDED, GROWS, true,
         true, 8, CUES_ID},
        {"ffmpeg_vp9_webm_eight_tracks_cluster_widens", "webm", VP9 + EIGHT, Muxer::ffmpeg, ADDED,
         GROWS, true, false, 8, CLUSTER_ID},
        // A live recording: Segment and Clusters of unknown size, no SeekHead, no Cues, no Void;
        // GStreamer states BT.601 in Colour.
        {"gstreamer_live", "mkv", "vp8enc ! matroskamux streamable=true", Muxer::gstreamer, FIXED,
         SAME, false, false},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// Gives an mkvmerge file's first track a Dolby Vision block addition mapping (BlockAddIDType
// dvcC), its bytes taken from the Void mkvmerge leaves right after Tracks: nothing else moves.
void addDolbyVisionMapping(const fs::path& file) {
    Blob b = readBytes(file);
    const auto top = topLevel(b);
    const auto found =
        std::find_if(top.begin(), top.end(), [](const Head& h) { return h.id == 0x1654AE6B; });
    ASSERT_NE(found, top.end()) << "no Tracks";
    const Head tracks = *found, entry = headAt(b, tracks.data, tracks.end);
    const Head gap = headAt(b, tracks.end, b.size());
    ASSERT_EQ(gap.id, 0xECu) << "no Void after Tracks";
    const Blob mapping = {0x41, 0xE4, 0x87, 0x41, 0xE7, 0x84, 'd', 'v', 'c', 'C'};
    // Each size keeps its width: its marker bit, then the new value.
    const auto resize = [&](std::size_t idAt, const Head& h, long by) {
        std::size_t sizeAt = idAt + 1;
        while (!(b[idAt] & (0x80 >> (sizeAt - idAt - 1))))
            ++sizeAt;
        const std::size_t width = h.data - sizeAt;
        std::uint64_t size = std::uint64_t(long(h.end - h.data) + by) | 1ull << (7 * width);
        for (std::size_t i = width; i-- > 0; size >>= 8)
            b[sizeAt + i] = std::uint8_t(size);
    };
    resize(tracks.end, gap, -long(mapping.size()));
    resize(tracks.data, entry, long(mapping.size()));
    resize(tracks.at, tracks, long(mapping.size()));
    b.erase(b.begin() + long(gap.end - mapping.size()), b.begin() + long(gap.end));
    b.insert(b.begin() + long(entry.end), mapping.begin(), mapping.end());
    writeBytes(file, b);
}

// Files left alone, byte for byte, with the reason.
TEST(LeftAlone, HdrAndAlreadyTaggedKeepEveryByte) {
    struct Case {
        const char* name;
        std::string args;
        TGOutcome outcome;
        std::string message, detail;
        const char* mkvmerge = nullptr; // remuxed by mkvmerge with these options
        void (*then)(const fs::path&) = nullptr;
    };
    const Case cases[] = {
        {"pq", X264 + "-color_primaries bt709 -color_trc smpte2084", hdr, "HDR — left unchanged",
         "transfer 16 (PQ or HLG)"},
        {"hlg", X264 + "-color_trc arib-std-b67", hdr, "HDR — left unchanged",
         "transfer 18 (PQ or HLG)"},
        {"bt2020", X264 + "-color_primaries bt2020", hdr, "HDR — left unchanged",
         "primaries 9 (BT.2020)"},
        {"mastering", X264 + BT709, hdr, "HDR — left unchanged", "mastering metadata",
         "--max-luminance 0:1000 --min-luminance 0:0.005"},
        {"dolby vision", X264, hdr, "HDR — left unchanged", "Dolby Vision block additions", "",
         addDolbyVisionMapping},
        {"p3", X264 + "-color_primaries smpte432", already, "Already Display-P3", ""},
        {"audio only", "-f lavfi -i sine=d=0.3 -c:a libopus", skipped, "No video track to tag",
         "no video track"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto file = dir / "clip.mkv";
        makeMatroska(file, c.args.starts_with("-f") ? c.args : SRC + c.args, c.mkvmerge,
                     c.mkvmerge ? c.mkvmerge : "");
        if (c.then) {
            c.then(file);
            ASSERT_TRUE(identifies(file));
        }
        const auto hash = fileHash(file);
        const TGResult r = tagMatroska(file);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(r.detail.value_or(""), c.detail);
        EXPECT_EQ(fileHash(file), hash);
    }
}

// What is not Matroska, or no longer holds together, is refused before a byte changes.
TEST(Refused, NotMatroskaCutShortOrDamaged) {
    TempDir dir;
    const auto good = dir / "good.mkv";
    makeMatroska(good, SRC + X264 + BT709);
    const Blob bytes = readBytes(good);
    const auto cut = [&](std::size_t n) { return Blob(bytes.begin(), bytes.begin() + long(n)); };
    Blob docType = bytes;
    const auto at = std::search(docType.begin(), docType.end(), std::begin("matroska"),
                                std::end("matroska") - 1);
    ASSERT_NE(at, docType.end());
    *at = 'M';
    Blob mp4Head = bytes;
    std::copy_n("\0\0\0\x18"
                "ftypisom",
                12, mp4Head.begin());
    struct Case {
        const char* name;
        Blob bytes;
        std::string message;
    };
    const Case cases[] = {
        {"another DocType", docType, "Can't read file"},
        {"not EBML", mp4Head, "Can't read file"},
        {"cut in the EBML header", cut(30), "Can't read file"},
        {"cut in Tracks", cut(320), DAMAGED_MATROSKA},
        {"cut in a Cluster", cut(bytes.size() / 2), DAMAGED_MATROSKA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir / "clip.mkv";
        writeBytes(file, c.bytes);
        const TGResult r = tagMatroska(file);
        EXPECT_EQ(r.outcome, error);
        EXPECT_EQ(r.message, c.message);
        EXPECT_TRUE(r.detail.has_value());
        EXPECT_EQ(readBytes(file), c.bytes);
    }
}

// The rebuild of Tracks on bytes built here: the sizes that hold a new Colour grow, wider where
// the old width cannot state them, and a CRC-32 in front is made again.
TEST(Rebuild, SizesGrowWiderWhereTheyMustAndTheCrcFollows) {
    Blob video = {0xE0, 0x80 | 118}; // 59 two-byte Voids: one byte of size still holds 126
    for (int i = 0; i < 59; ++i)
        video = cat({video, {0xEC, 0x80}});
    const Blob entry = cat({{0xAE, std::uint8_t(0x80 | video.size())}, video});
    const Blob tracks =
        cat({be(0x1654AE6B), be(0x4000 | (6 + entry.size()), 2), {0xBF, 0x84, 0, 0, 0, 0}, entry});
    const auto el = ebml::listChildren(tracks, 0, tracks.size()).elements.at(0);
    const std::uint64_t videoAt = 6 + 6 + 2;
    const std::vector<TracksSplice> splices = {
        {videoAt, videoAt + video.size(), 0, {0xEC, 0x86, 0, 0, 0, 0, 0, 0}}};
    const auto out = rebuildElement(tracks, el, splices);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->size(), tracks.size() + 8 + 1); // only the TrackEntry's size widens
    const auto top = ebml::listChildren(*out, 0, out->size());
    ASSERT_TRUE(top.complete);
    const auto kids = ebml::listChildren(*out, top.elements[0].dataStart(), out->size());
    ASSERT_TRUE(kids.complete);
    ASSERT_EQ(kids.elements.size(), 2u);
    const auto& newEntry = kids.elements[1];
    EXPECT_EQ(newEntry.header.sizeWidth, 2u);
    EXPECT_EQ(newEntry.header.size, video.size() + 8);
    const auto inner = ebml::listChildren(*out, newEntry.dataStart(), newEntry.end());
    ASSERT_TRUE(inner.complete);
    EXPECT_EQ(inner.elements.at(0).header.sizeWidth, 1u);
    EXPECT_EQ(inner.elements.at(0).header.size, 118u + 8);
    const auto crc = std::uint32_t(
        ::crc32(0, out->data() + newEntry.offset, unsigned(out->size() - newEntry.offset)));
    EXPECT_EQ(readUnsigned(*out, kids.elements[0].dataStart(), 4, false), crc);
}

} // namespace
