// The movie tagger: its atom readers, structure reader, colour decision and insertion plan on
// tiny atom trees built in memory, then processCore and addColr on real movies made by ffmpeg,
// on broken files and on refusing disks.
#include "movie/colour_decision.h"
#include "movie/insertion_plan.h"
#include "movie/moov_layout.h"

#include "movie_fixtures.h"

#include <csignal>

#include <sys/resource.h>

using namespace tg;
using namespace movietest;
using enum TGOutcome;

namespace {

const std::string TWO_VIDEO = SRC + "-f lavfi -i testsrc=s=64x48:r=10:d=1 -map 0 -map 1 " + X264;

// A moov with a video track (avc1 entry with the given children) and chunk offsets.
Blob videoMoov(std::initializer_list<Blob> entryKids, std::initializer_list<std::uint64_t> chunks) {
    return atom("moov", track("vide", {stsd({entry("avc1", entryKids)}), stco(chunks)}));
}

// Layouts ffmpeg does not write; lastChildToEnd: the sample entry's last child says size 0 ("to
// the end"), so an atom appended after it would be read as part of it.
enum Reshape { asIs, co64, largeMoov, lastChildToEnd };
struct Movie {
    std::string file, args; // args: ffmpeg arguments before the output
    TGOutcome outcome;
    std::string message;
    Reshape reshape = asIs;
    std::int64_t growth = 19;
    int videos = 1; // video tracks, each to be tagged
};
void PrintTo(const Movie& m, std::ostream* os) {
    *os << m.file;
}

// An atom of the moov tree rebuilt as `how` asks, its chunk offsets moved by delta.
Blob rebuild(const Blob& d, const Atom& a, Reshape how, std::uint64_t delta) {
    Blob out;
    if (std::set<std::string>{"moov", "trak", "mdia", "minf", "stbl"}.contains(a.type)) {
        for (const auto& c : childAtoms(d, a.offset + a.headerSize, a.offset + a.size))
            out = cat({out, rebuild(d, c, how, delta)});
        return atom(a.type, out, a.type == "moov" && how == largeMoov);
    }
    if (a.type != "stco") return Blob(d.begin() + a.offset, d.begin() + a.offset + a.size);
    out = cat({be(0), be(u32(d, a.offset + 12))});
    for (std::uint64_t i = 0; i < u32(d, a.offset + 12); ++i)
        out = cat({out, be(u32(d, a.offset + 16 + 4 * i) + delta, how == co64 ? 8 : 4)});
    return atom(how == co64 ? "co64" : "stco", out);
}
// The whole file so rebuilt: chunk offsets follow when moov grows in front of the media data.
Blob reshape(const Blob& file, Reshape how) {
    Blob out;
    if (how == lastChildToEnd) {
        out = file;
        const std::uint64_t avc1 =
            find(file, {"moov", "trak", "mdia", "minf", "stbl", "stsd", "avc1"});
        wU32(out, childAtoms(file, avc1 + 8 + 78, avc1 + u32(file, avc1)).back().offset, 0);
        return out;
    }
    bool moovFirst = true;
    for (const auto& a : childAtoms(file, 0, file.size())) {
        moovFirst = moovFirst && a.type != "mdat";
        const std::uint64_t grown = rebuild(file, a, how, 0).size() - a.size;
        out = cat({out, rebuild(file, a, how, moovFirst ? grown : 0)});
    }
    return out;
}

} // namespace

// The colour decision over every video sample entry, and what keeps an insertion from going ahead.
TEST(ColourDecision, CoversEveryVideoEntryAndOnlyThose) {
    const Blob bt709 = colr("nclc", 1, 1), p3 = colr("nclx", 12, 1), icc = colr("prof", 0, 0);
    auto video = [](std::initializer_list<Blob> entries, const Blob& more = {}) {
        return track("vide", {stsd(entries), stco({}), more});
    };
    struct Case {
        const char* what;
        Blob moov;
        Verdict verdict;
        std::size_t patches, untagged;
        Refusal refusal = Refusal::none;
    };
    const std::vector<Case> cases = {
        {"two entries of one track, both P3",
         atom("moov", video({entry("avc1", {p3}), entry("avc3", {p3})})), Verdict::alreadyP3, 0, 0},
        {"an ICC profile counts as tagged", atom("moov", video({entry("avc1", {icc})})),
         Verdict::alreadyTagged, 0, 0},
        {"HDR anywhere leaves the movie alone",
         atom("moov", cat({video({entry("avc1", {bt709})}),
                           video({entry("hvc1", {colr("nclx", 9, 16)})})})),
         Verdict::hdr, 0, 0},
        {"jpeg is not tagged, avc1 beside it is",
         atom("moov", video({entry("jpeg"), entry("avc1")})), Verdict::insert, 0, 1},
        {"upper-case AVC1 is not a video codec", atom("moov", video({entry("AVC1")})),
         Verdict::noVideo, 0, 0},
        {"avc1 in a sound track is not video",
         atom("moov", track("soun", {stsd({entry("avc1")}), stco({})})), Verdict::noVideo, 0, 0},
        {"colour-like bytes in udta are not a colour atom",
         atom("moov", cat({video({entry("avc1")}),
                           atom("udta", cat({text("colrnclx"), be(9, 2), be(16, 2)}))})),
         Verdict::insert, 0, 1},
        {"a track without mdia",
         atom("moov", cat({video({entry("avc1")}), atom("trak", atom("moof", Blob(40, 0)))})),
         Verdict::insert, 0, 1, Refusal::trackStructure},
        {"both stco and co64", atom("moov", video({entry("avc1")}, stco({5}, true))),
         Verdict::insert, 0, 1, Refusal::trackStructure},
        {"a chunk table outside any track",
         atom("moov", cat({video({entry("avc1")}), atom("udta", stco({7}))})), Verdict::insert, 0,
         1, Refusal::trackStructure},
        {"an entry shorter than its fixed fields", atom("moov", video({atom("avc1", Blob(40, 0))})),
         Verdict::noVideo, 0, 0, Refusal::trackStructure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const MoovLayout layout = readMoovLayout(c.moov, 8, 0);
        const ColourDecision d = decideColour(layout, c.moov, 0);
        EXPECT_EQ(std::tuple(d.verdict, d.patches.size(), d.untagged.size(), layout.refusal),
                  std::tuple(c.verdict, c.patches, c.untagged, c.refusal));
    }
}

TEST(InsertionPlan, OffsetsBehindMoovMoveAndFieldsThatWouldOverflowAreRefused) {
    auto moovWith = [](std::uint64_t a, std::uint64_t b, std::uint64_t c) {
        return atom("moov", track("vide", {stsd({entry("avc1")}), stco({a, b, c})}));
    };
    const std::uint64_t end = moovWith(0, 0, 0).size(); // moov at 0: chunks from here on move
    // Chunk offsets; the plan kind; the new values of the offsets fixed.
    const std::vector<std::tuple<Blob, PlanKind, std::vector<std::uint64_t>>> cases = {
        {moovWith(end, end + 1000, 3), PlanKind::insert, {end + 19, end + 1019}},
        {moovWith(0xFFFFFFEC, 1, 2), PlanKind::insert, {0xFFFFFFFF}},
        {moovWith(0xFFFFFFF0, 1, 2), PlanKind::tooLarge, {}},
        // inside moov, behind the insertion point: no real movie, and no way to keep it right
        {moovWith(end - 4, 1, 2), PlanKind::foreignOffsets, {}},
    };
    for (const auto& [moov, kind, values] : cases) {
        auto p = planInsertion(moov, 8, moov.size(), 0);
        std::vector<std::uint64_t> moved;
        for (const auto& f : p.offsetFixes)
            moved.push_back(f.value);
        EXPECT_EQ(std::tie(p.kind, moved), std::tie(kind, values));
    }
}

class TagRealMovie : public ::testing::TestWithParam<Movie> {};

TEST_P(TagRealMovie, KeepsEveryFrameAndReadsAsDisplayP3) {
    const Movie& m = GetParam();
    TempDir dir;
    const auto path = dir / m.file;
    makeMovie(path, m.args);
    if (m.reshape != asIs) writeBytes(path, reshape(readBytes(path), m.reshape));
    const Blob before = readBytes(path);
    const std::string hashes = frameHashes(path);
    auto r = processCore(path);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tie(m.outcome, m.message));
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
    EXPECT_EQ(primaries(path), p3);
    EXPECT_EQ(processCore(path).message, "Already Display-P3"); // and writes nothing
    EXPECT_EQ(readBytes(path), after);
}

INSTANTIATE_TEST_SUITE_P(
    Movies, TagRealMovie,
    ::testing::ValuesIn(std::vector<Movie>{
        {"h264_nclc.mov", SRC + SND + X264 + BT709, fixed, FIXED, asIs, 0},
        {"hevc_nclx_fast.mp4",
         SRC + "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -tag:v hvc1 " + BT709 +
             "-movflags +faststart+write_colr",
         fixed, FIXED, asIs, 0},
        {"frag_nclx.mp4", SRC + X264 + BT709 + "-movflags frag_keyframe+empty_moov+write_colr",
         fixed, FIXED, asIs, 0},
        {"h264_none_fast.mp4", SRC + SND + X264 + FAST, added, ADDED},
        {"prores_none.mov", SRC + "-c:v prores_ks", added, ADDED},
        {"co64_fast.mp4", SRC + SND + X264 + FAST, added, ADDED, co64},
        {"large_moov_fast.mp4", SRC + X264 + FAST, added, ADDED, largeMoov},
        {"last_child_to_end.mov", SRC + X264, added, ADDED, lastChildToEnd},
        // Every video track: two atoms in one plan, or one patched and one added.
        {"two_none_fast.mp4", TWO_VIDEO + FAST, added, ADDED, asIs, 38, 2},
        {"two_none_last.mov", TWO_VIDEO, added, ADDED, asIs, 38, 2},
        {"two_one_bt709.mov",
         TWO_VIDEO + "-color_primaries:v:0 bt709 -color_trc:v:0 bt709 -colorspace:v:0 bt709 ",
         fixed, FIXED, asIs, 19, 2},
        // moov first with room reserved behind it: the new atom takes its bytes from the free atom
        {"reserved_moov.mov", SRC + SND + X264 + "-moov_size 20000", added, ADDED, asIs, 0},
        {"sound.mp4", SND, skipped, "No video track to tag"},
        {"hdr_pq.mov",
         SRC + "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p "
               "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc",
         hdr, "HDR — left unchanged"},
        {"frag_none.mp4", SRC + X264 + "-movflags frag_keyframe+empty_moov", error,
         "Unsupported (fragmented movie)"},
    }),
    [](const auto& info) { return info.param.file.substr(0, info.param.file.find('.')); });

TEST(BadMovie, EachGetsItsMessageAndKeepsEveryByte) {
    const Blob moov = videoMoov({colr("nclc", 1, 1)}, {});
    const Blob mdatFirst = cat({atom("ftyp", text("qt  ")), atom("mdat", Blob(64, 0)), moov});
    const std::string NO_MOOV = "Unsupported (no moov)";
    // What is wrong; the bytes; the messages of processCore and of addColr.
    const std::vector<std::tuple<const char*, Blob, std::string, std::string>> cases = {
        {"0 bytes", {}, "Can't read file", "Read error"},
        {"16 bytes", atom("moov", Blob(8, 0)), "Can't read file", "Read error"},
        {"17 bytes", atom("free", Blob(9, 0)), NO_MOOV, NO_MOOV},
        {"size 0", cat({be(0), text("free"), Blob(8, 0), moov}), NO_MOOV, NO_MOOV},
        {"size 1: 15", cat({be(1), text("free"), be(15, 8), moov}), NO_MOOV, NO_MOOV},
        {"size 1: 2^63", cat({be(1), text("free"), be(1ull << 63, 8), moov}), NO_MOOV, NO_MOOV},
        {"size 4", cat({be(4), text("free"), moov}), NO_MOOV, NO_MOOV},
        {"cut in mdat", Blob(mdatFirst.begin(), mdatFirst.begin() + 40), NO_MOOV, NO_MOOV},
        {"cut in moov", Blob(mdatFirst.begin(), mdatFirst.begin() + 150), NO_MOOV, NO_MOOV},
    };
    TempDir dir;
    for (const auto& [name, bytes, core, add] : cases) {
        SCOPED_TRACE(name);
        writeBytes(dir / "bad.mov", bytes);
        using Tagger = std::function<TGResult(const fs::path&)>;
        const Tagger tagInPlace = [](const fs::path& p) { return processCore(p); };
        for (auto [tag, message] : {std::pair{tagInPlace, core}, std::pair{Tagger(addColr), add}}) {
            auto r = tag(dir / "bad.mov");
            EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(error, message));
            EXPECT_EQ(readBytes(dir / "bad.mov"), bytes);
        }
    }
    EXPECT_TRUE(journals(dir.path()).empty());
}

TEST(BadMovie, RefusingFileSystemsAndFailingWritesChangeNothing) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const auto path = dir / "m.mov";
    const Blob tagged = cat({atom("free", Blob(300, 0)), videoMoov({colr("nclc", 1, 1)}, {})});
    writeBytes(path, tagged);
    // The patch lands past a file-size limit, so its write fails as on a dying disk; the
    // journal, smaller than the limit, stays for the next run.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const rlimit limit{300, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto r = processCore(path);
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r.message, "Write failed partway — file may need re-export");
    EXPECT_TRUE(hasInterruptedEdit(path));
    // A read-only file; root ignores permission bits, so root asks as an unprivileged user.
    fs::permissions(path, fs::perms(0444));
    auto refused = [](const fs::path& p) {
        return processCore(p).message == "No write permission" &&
               addColr(p).message == "No write permission";
    };
    EXPECT_TRUE(::geteuid() == 0 ? runAsNobody([&] { return refused(path) ? 0 : 1; }) == 0
                                 : refused(path));
    EXPECT_EQ(readBytes(path), tagged);
    // Writable again, the next run finishes the edit.
    fs::permissions(path, fs::perms(0644));
    r = processCore(path);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(fixed, FINISHED));
    EXPECT_FALSE(hasInterruptedEdit(path));

    SmallDisk disk(1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "a full disk and a read-only folder need a tmpfs (root)";
    // The file ends 4090 bytes into a page, so 19 more bytes need a page the full disk lacks.
    const auto full = disk.path() / "m.mov";
    const Blob moov = videoMoov({}, {});
    const Blob padded = cat({moov, atom("mdat", Blob(4090 - 8 - moov.size(), 0))});
    writeBytes(full, padded);
    disk.fill(0);
    EXPECT_EQ(processCore(full).message, "Couldn't grow file (disk full?)");
    ASSERT_TRUE(disk.makeReadOnly());
    EXPECT_TRUE(refused(full));
    EXPECT_EQ(readBytes(full), padded);
    EXPECT_TRUE(journals(disk.path()).empty());
}
