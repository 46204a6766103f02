// The movie tagger's structure reader, colour decision and insertion plan on tiny atom trees built
// in memory, sample tables that lie, then processCore on broken files and on refusing disks.
#include "movie/colour_decision.h"
#include "movie/insertion_plan.h"
#include "movie/moov_layout.h"
#include "movie/movie_loader.h"
#include "movie/sample_table.h"

#include "movie_fixtures.h"

using namespace tg;
using namespace movietest;
using enum TGOutcome;

namespace {

// A moov with a video track: one avc1 entry with the given children, no chunks.
Blob videoMoov(std::initializer_list<Blob> entryKids = {}) {
    return atom("moov", track("vide", {stsd({entry("avc1", entryKids)}), stco({})}));
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> located(const SampleTable& t) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const auto& s : t.samples)
        out.emplace_back(s.offset, s.size);
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

TEST(SampleTable, LyingTablesAreErrors) {
    // A table's body: version and flags, then 32-bit fields (stsc: the count, then each run's
    // first chunk, samples per chunk and description); fields() writes other widths.
    auto body = [](std::initializer_list<std::uint64_t> values) {
        Blob b = be(0);
        for (auto v : values)
            b = cat({b, be(v)});
        return b;
    };
    const Blob sizes = body({0, 3, 10, 20, 30}), runs = body({2, 1, 2, 1, 2, 1, 1});
    const Blob chunks = body({2, 100, 500});
    using Located = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    enum Variant { plain, stz2, co64 };
    struct Case {
        std::string name;
        Blob sizes, runs, chunks;
        Located expected; // empty: an error
        Variant variant = plain;
        std::uint64_t max = MAX_SAMPLES;
    };
    const Located abc = {{100, 10}, {110, 20}, {500, 30}};
    const std::vector<Case> cases = {
        {"plain", sizes, runs, chunks, abc},
        {"one size for all", body({7, 3}), runs, chunks, {{100, 7}, {107, 7}, {500, 7}}},
        {"4-bit sizes",
         fields("4:0 4:4 4:3 1:0x12 1:0x30"),
         runs,
         chunks,
         {{100, 1}, {101, 2}, {500, 3}},
         stz2},
        {"64-bit offsets", sizes, runs, fields("4:0 4:2 8:100 8:500"), abc, co64},
        {"a run past the last chunk", sizes, body({3, 1, 2, 1, 2, 1, 1, 9, 5, 1}), chunks, abc},
        {"sizes shorter than their count", body({0, 3, 10, 20}), runs, chunks, {}},
        {"unknown field size", fields("4:0 4:5 4:3 2:0"), runs, chunks, {}, stz2},
        {"offsets shorter than their count", sizes, runs, body({3, 100, 500}), {}},
        {"first run after chunk 1", sizes, body({1, 2, 3, 1}), chunks, {}},
        {"chunks hold more samples", sizes, body({1, 1, 2, 1}), chunks, {}},
        {"past the largest offset",
         sizes,
         runs,
         fields("4:0 4:2 8:100 8:0xFFFFFFFFFFFFFFFA"),
         {},
         co64},
        {"past the end of the file", sizes, runs, body({2, 100, 511}), {}},
        {"more samples than allowed", sizes, runs, chunks, {}, plain, 2},
    };
    for (const auto& c : cases) {
        const auto t = sampleLocations(
            {c.sizes, c.variant == stz2, c.runs, c.chunks, c.variant == co64, 540}, c.max);
        EXPECT_EQ(t.ok(), !c.expected.empty()) << c.name << ": " << t.error;
        EXPECT_EQ(located(t), c.expected) << c.name;
    }
    EXPECT_TRUE(sampleLocations({body({0, 0}), false, body({0}), body({0})}).ok());
}

TEST(BadMovie, EachGetsItsMessageAndKeepsEveryByte) {
    const Blob moov = videoMoov({colr("nclc", 1, 1)});
    const Blob mdatFirst = cat({atom("ftyp", text("qt  ")), atom("mdat", Blob(64, 0)), moov});
    const std::string NO_MOOV = "Unsupported (no moov)";
    // What is wrong; the bytes; the message and its detail.
    const std::vector<std::tuple<const char*, Blob, std::string, std::string>> cases = {
        {"0 bytes", {}, "Can't read file", "too short to be a movie"},
        {"17 bytes", atom("free", Blob(9, 0)), NO_MOOV, "no moov atom"},
        {"size 0", cat({be(0), text("free"), Blob(8, 0), moov}), NO_MOOV, "no moov atom"},
        {"size 1: 15", cat({be(1), text("free"), be(15, 8), moov}), NO_MOOV, "no moov atom"},
        {"cut in moov", Blob(mdatFirst.begin(), mdatFirst.begin() + 150), NO_MOOV,
         "moov atom cut short"},
        // Players differ on which of two they believe.
        {"two moov", cat({moov, moov}), TWO_MOOV, "two moov atoms"},
    };
    TempDir dir;
    for (const auto& [name, bytes, message, why] : cases) {
        SCOPED_TRACE(name);
        writeBytes(dir / "bad.mov", bytes);
        const auto r = processCore(dir / "bad.mov");
        EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(error, message));
        EXPECT_EQ(r.detail, why);
        EXPECT_EQ(readBytes(dir / "bad.mov"), bytes);
    }
    EXPECT_TRUE(journals(dir.path()).empty());
}

TEST(BadMovie, RefusingFileSystemsAndFailingWritesChangeNothing) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const auto path = dir / "m.mov";
    const Blob tagged = cat({atom("free", Blob(300, 0)), videoMoov({colr("nclc", 1, 1)})});
    writeBytes(path, tagged);
    // The patch's write fails as on a dying disk, after the journal and the mark are durable.
    FileFaults failPatch;
    int writes = 0;
    failPatch.before = [&](FileOp op) { return op == FileOp::write && ++writes == 4 ? EIO : 0; };
    auto r = processWith(path, failPatch);
    EXPECT_EQ(r.message, "Write failed partway — file may need re-export");
    EXPECT_TRUE(hasInterruptedEdit(path));
    const Blob interrupted = readBytes(path);
    // A read-only file; root ignores permission bits, so root asks as an unprivileged user.
    fs::permissions(path, fs::perms(0444));
    auto refused = [](const fs::path& p) {
        return processCore(p).message == "No write permission";
    };
    EXPECT_TRUE(::geteuid() == 0 ? runAsNobody([&] { return refused(path) ? 0 : 1; }) == 0
                                 : refused(path));
    EXPECT_EQ(readBytes(path), interrupted);
    // Writable again, the next run finishes the edit.
    fs::permissions(path, fs::perms(0644));
    r = processCore(path);
    EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(fixed, FINISHED));
    EXPECT_FALSE(hasInterruptedEdit(path));

    SmallDisk disk(1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "a full disk and a read-only folder need a tmpfs (root)";
    // The file ends 4090 bytes into a page, so 19 more bytes need a page the full disk lacks.
    const auto full = disk.path() / "m.mov";
    const Blob moov = videoMoov();
    const Blob padded = cat({moov, atom("mdat", Blob(4090 - 8 - moov.size(), 0))});
    writeBytes(full, padded);
    disk.fill(0);
    EXPECT_EQ(processCore(full).message, "Couldn't grow file (disk full?)");
    ASSERT_TRUE(disk.makeReadOnly());
    EXPECT_TRUE(refused(full));
    EXPECT_EQ(readBytes(full), padded);
    EXPECT_TRUE(journals(disk.path()).empty());
}

// A shift writes the holes of a sparse tail as data: the space check must count them, or the
// edit fills the disk partway and is left stuck.
TEST(Refusal, ASparseMovieIsNotShiftedIntoAFullDisk) {
    SmallDisk disk(48 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "needs a tmpfs, which only root can mount";
    const auto file = disk.path() / "sparse.mp4";
    makeMovie(file, SRC + X264 + FAST);
    padWithFree(file, 200 << 20); // a hole: no storage behind it
    const std::uint64_t before = fileHash(file);
    EXPECT_EQ(processCore(file).message, "Couldn't grow file (disk full?)");
    EXPECT_EQ(fileHash(file), before);
    EXPECT_TRUE(journals(disk.path()).empty());
}
