// Matroska edits that no stop can break: each route stopped before every write and sync of the
// file layer, and the next run must leave the file byte-identical to an edit never interrupted,
// with no journal behind. The mark of an unfinished edit must read as a Void meanwhile.
#include "mkv_fixtures.h"

#include "edit/mark.h"

using namespace tg;
using namespace mkvtest;

namespace {

struct RouteCase {
    const char* name;
    std::string args;
    bool mkvmerge;
    RangeInsertion rule;
    std::string message;
    std::uint32_t near64k = 0; // the element made to start just short of 64 KiB
    friend void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }
};

// Whether the file carries the mark of an unfinished edit, and the mark is one Void element that
// runs to the file's end, as a reader walking past the Segment meets it.
struct Marked {
    bool marked = false, asVoid = false;
};
Marked markOf(const fs::path& file) {
    const FileHandle f = FileHandle::openForReading(file);
    const auto mark = findMark(f);
    if (!mark) return {};
    const Blob b = readBytes(file);
    const Head h = headAt(b, mark->start, b.size());
    return {true, h.ok && h.id == 0xEC && h.end == b.size()};
}

class StopAtEveryWrite : public ::testing::TestWithParam<RouteCase> {};

TEST_P(StopAtEveryWrite, NextRunFinishesTheSameEdit) {
    const RouteCase& c = GetParam();
    TempDir dir;
    if (c.rule == RangeInsertion::always && !onExt4(dir.path()))
        GTEST_SKIP() << "range insertion needs ext4 (or XFS); " << dir.path() << " is neither";
    const auto original = dir / "original.mkv", finished = dir / "finished.mkv";
    if (c.near64k)
        makeNear64k(original, SRC + c.args, c.near64k);
    else
        makeMatroska(original, SRC + c.args, c.mkvmerge);
    fs::copy_file(original, finished);
    int ops = 0;
    FileFaults counting = route(c.rule, 4096);
    counting.after = [&](FileOp) { ++ops; };
    ASSERT_EQ(tagWith(finished, counting).message, c.message);
    ASSERT_GT(ops, 3);
    // The route asked for is the one taken: a range insertion adds whole blocks.
    const auto grown = fs::file_size(finished) - fs::file_size(original);
    if (c.rule != RangeInsertion::bySize) {
        EXPECT_EQ(grown % 4096 == 0, c.rule == RangeInsertion::always) << grown;
    }
    EXPECT_EQ(crcs(finished).bad, 0);
    EXPECT_TRUE(crcs(finished).walked);
    EXPECT_TRUE(identifies(finished));
    EXPECT_EQ(frameHashes(finished), frameHashes(original));
    const auto originalHash = fileHash(original), finishedHash = fileHash(finished);
    const auto work = dir / "work.mkv";
    for (int stop = 0; stop <= ops; ++stop) {
        SCOPED_TRACE("stopped before operation " + std::to_string(stop));
        fs::copy_file(original, work, fs::copy_options::overwrite_existing);
        EXPECT_EQ(runStoppedAt(
                      stop, [&] { tagMatroska(work); }, route(c.rule, 4096)),
                  stop < ops);
        const auto h = fileHash(work);
        const Marked mark = markOf(work);
        EXPECT_TRUE(h == originalHash || h == finishedHash || mark.marked);
        EXPECT_EQ(mark.asVoid, mark.marked);
        const TGResult r = tagWith(work, route(c.rule, 4096));
        const std::set<std::string> fine = {
            c.message, FINISHED, "Interrupted edit undone; " + c.message, "Already Display-P3"};
        EXPECT_TRUE(fine.contains(r.message)) << r.message << " " << r.detail.value_or("");
        EXPECT_EQ(fileHash(work), finishedHash);
        EXPECT_TRUE(journals(dir.path()).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routes, StopAtEveryWrite,
    ::testing::ValuesIn(std::vector<RouteCase>{
        {"patch", X264 + BT709, false, RangeInsertion::bySize, FIXED},
        {"void_after", X264, true, RangeInsertion::bySize, ADDED},
        {"shift", X264 + EIGHT + CUES_FIRST, false, RangeInsertion::never, ADDED},
        {"range", X264 + EIGHT, false, RangeInsertion::always, ADDED},
        // A moved position written wider, in the Void behind its Cues or SeekHead.
        {"shift_widens_cues", X264 + EIGHT, false, RangeInsertion::never, ADDED, CLUSTER_ID},
        {"range_widens_seek_head", X264 + EIGHT, false, RangeInsertion::always, ADDED, CUES_ID},
        // Parameter sets in the blocks: writes all over the Clusters, and their CRC-32s.
        {"in_band", X264 + "-g 4 -x264-params repeat-headers=1:colorprim=bt709", false,
         RangeInsertion::bySize, ADDED},
    }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
