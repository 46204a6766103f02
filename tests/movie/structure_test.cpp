// Real movies tagged end to end, in the layouts ffmpeg writes and in ones reshaped at the atom
// level; then files in use or changing: each is tagged where the structure says, or refused with
// every byte kept.
#include "movie_fixtures.h"

#include <fstream>

using namespace tg;
using namespace movietest;
using enum TGOutcome;

namespace {

const std::string MOV_NCLC = SRC + SND + X264 + BT709;
const std::string TWO_VIDEO = SRC + "-f lavfi -i testsrc=s=64x48:r=10:d=1 -map 0 -map 1 " + X264;

// An iloc (version 1, 4-byte fields, one item at `target` by file offset) in udta/meta; `cut`
// bytes short, its extent runs past the atom's end.
Blob ilocInUdta(std::uint64_t target, std::size_t cut) {
    Blob iloc = cat({be(0x01000000), Blob{0x44, 0x40}, be(1, 2), be(1, 2), be(0, 2), be(0, 2),
                     be(target), be(1, 2), be(0), be(16)});
    iloc.resize(iloc.size() - cut);
    return atom("udta", atom("meta", cat({be(0), hdlr("mdir"), atom("iloc", iloc)})));
}

// Layouts ffmpeg does not write, and structures it forgives, made from its files.
using Reshape = std::function<Blob(Blob)>;
const Reshape asIs = [](Blob file) { return file; };
const Reshape co64 = [](Blob file) { return reshaped(file, {.co64 = true}); };
const Reshape largeMoov = [](Blob file) { return reshaped(file, {.largeMoov = true}); };
// The sample entry's last child says size 0 ("to the end"): an atom appended after it would be
// read as part of it.
const Reshape lastChildToEnd = [](Blob file) {
    const std::uint64_t avc1 = find(file, {"moov", "trak", "mdia", "minf", "stbl", "stsd", "avc1"});
    wU32(file, childAtoms(file, avc1 + 8 + 78, avc1 + u32(file, avc1)).back().offset, 0);
    return file;
};
// The second track's tables are not where its structure says: its mdia renamed moof.
const Reshape mdiaRenamed = [](Blob file) {
    std::copy_n("moof", 4,
                file.begin() + std::ptrdiff_t(findIn(file, traks(file)[1], {"mdia"}) + 4));
    return file;
};
const Reshape itemsCut = [](Blob file) {
    return reshaped(file, {.moovChild = ilocInUdta(5000, 6)});
};

struct Movie {
    std::string file, args; // args: ffmpeg arguments before the output
    TGOutcome outcome;
    std::string message;
    Reshape reshape = asIs;
    std::int64_t growth = 19;
    int videos = 1;            // video tracks, each to be tagged
    const char* why = nullptr; // the detail of a refusal
    friend void PrintTo(const Movie& m, std::ostream* os) { *os << m.file; }
};

} // namespace

class TagRealMovie : public ::testing::TestWithParam<Movie> {};

TEST_P(TagRealMovie, KeepsEveryFrameAndReadsAsDisplayP3) {
    const Movie& m = GetParam();
    TempDir dir;
    const auto path = dir / m.file;
    makeMovie(path, m.args);
    writeBytes(path, m.reshape(readBytes(path)));
    const Blob before = readBytes(path);
    const std::string hashes = frameHashes(path);
    ASSERT_FALSE(hashes.empty()); // ffmpeg reads it
    auto r = processCore(path);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tie(m.outcome, m.message));
    EXPECT_EQ(r.detail, m.why ? std::optional<std::string>(m.why) : std::nullopt);
    EXPECT_TRUE(journals(dir.path()).empty());
    const Blob after = readBytes(path);
    if (m.outcome != fixed && m.outcome != added) {
        EXPECT_EQ(after, before);
        return;
    }
    EXPECT_EQ(std::int64_t(after.size()), std::int64_t(before.size()) + m.growth);
    EXPECT_EQ(frameHashes(path), hashes);
    std::string p3;
    for (int v = 0; v < m.videos; ++v)
        p3 += "smpte432\n";
    EXPECT_EQ(containerPrimaries(path), p3);
    EXPECT_EQ(processCore(path).message, "Already Display-P3"); // and writes nothing
    EXPECT_EQ(readBytes(path), after);
}

INSTANTIATE_TEST_SUITE_P(
    Movies, TagRealMovie,
    ::testing::ValuesIn(std::vector<Movie>{
        {"frag_nclx.mp4", SRC + X264 + BT709 + "-movflags frag_keyframe+empty_moov+write_colr",
         fixed, FIXED, asIs, 0},
        // x264's SPS says no colour: it grows by the colour description too (2 bytes here).
        {"co64_fast.mp4", SRC + SND + X264 + FAST, added, ADDED, co64, 21},
        {"large_moov_fast.mp4", SRC + X264 + FAST, added, ADDED, largeMoov, 21},
        {"last_child_to_end.mov", SRC + X264, added, ADDED, lastChildToEnd, 21},
        // Every video track: two atoms and two parameter sets in one plan, or one patched and one
        // added.
        {"two_none_fast.mp4", TWO_VIDEO + FAST, added, ADDED, asIs, 42, 2},
        {"two_one_bt709.mov",
         TWO_VIDEO + "-color_primaries:v:0 bt709 -color_trc:v:0 bt709 -colorspace:v:0 bt709 ",
         fixed, FIXED, asIs, 21, 2},
        // Refused: the message, then the detail saying why.
        {"sound.mp4", SND, skipped, "No video track to tag", asIs, 0, 1, "no video track"},
        {"mjpeg.mov", SRC + "-c:v mjpeg", skipped, "No video track to tag", asIs, 0, 1,
         "video codec not taggable: jpeg"},
        {"frag_none.mp4", SRC + X264 + "-movflags frag_keyframe+empty_moov", error,
         "Unsupported (fragmented movie)", asIs, 0, 1, "movie fragments (mvex)"},
        {"mdia_renamed.mp4", SRC + SND + X264 + FAST, error,
         "Unsupported (unexpected track structure)", mdiaRenamed, 0, 1, "track 2: no mdia in trak"},
        {"items_cut.mp4", SRC + X264 + FAST, error, "Unsupported (offsets outside chunk tables)",
         itemsCut, 0, 1, "an item-location table that cannot be read"},
    }),
    [](const auto& info) { return info.param.file.substr(0, info.param.file.find('.')); });

// Another run holding the file, or a writer still appending to it.
TEST(Structure, FilesInUseOrChangingAreLeftAlone) {
    TempDir dir;
    const auto path = dir / "clip.mov";
    makeMovie(path, MOV_NCLC);
    const Blob bytes = readBytes(path);
    const std::string IN_USE = IN_USE_MESSAGE;
    for (LockKind held : {LockKind::exclusive, LockKind::shared}) {
        auto other = FileHandle::openRegular(path, held == LockKind::exclusive);
        ASSERT_TRUE(other->tryLock(held).ok());
        EXPECT_EQ(processCore(path).message, IN_USE);
        // And from another process, as a second window or CLI would be.
        EXPECT_EQ(inChild([&] { return int(processCore(path).message != IN_USE); }), 0);
    }
    EXPECT_EQ(readBytes(path), bytes);

    // A copy in progress appends while the edit is being set up: the edit stops, nothing is cut.
    for (const char* file : {"growing.mov", "growing_none.mp4"}) {
        SCOPED_TRACE(file);
        const auto growing = dir / file;
        makeMovie(growing, std::string(file).ends_with(".mov") ? MOV_NCLC : SRC + X264 + FAST);
        const Blob start = readBytes(growing);
        FileFaults appendFirst;
        bool appended = false;
        appendFirst.before = [&](FileOp) {
            if (!std::exchange(appended, true))
                std::ofstream(growing, std::ios::app) << std::string(5000, 'x');
            return 0;
        };
        auto r = processWith(growing, appendFirst);
        EXPECT_EQ(std::tie(r.outcome, r.message),
                  std::tuple(error, "File changed while it was being read — left unchanged"));
        Blob expected = start;
        expected.resize(start.size() + 5000, 'x');
        EXPECT_EQ(readBytes(growing), expected);
    }
    EXPECT_TRUE(journals(dir.path()).empty());
}
