// Edits that no stop can break: a process stopped at every write boundary of every route, a range
// insertion left half done, and real SIGKILLs in the middle of a big shift. After each, the next
// run must leave the file byte-identical to an edit that was never interrupted (whose frames and
// colour are checked against ffmpeg), and no journal behind.
#include "edit/journal.h"
#include "edit/mark.h"

#include "movie_fixtures.h"

using namespace tg;
using namespace movietest;
using enum TGOutcome;

namespace {

const std::string IN_BAND = "-g 4 -x264-params repeat-headers=1 ";
const std::string PRORES = "-c:v prores_ks ";

// Small steps, so that a small movie's shift takes several.
constexpr std::uint64_t SHIFT_STEP = 64 << 10;

struct RouteCase {
    const char* name;
    const char* ext;       // "mov" or "mp4"
    std::string args;      // ffmpeg arguments for the movie
    std::uint64_t padding; // a free atom appended (a hole), to give a moov-first movie a tail
    RangeInsertion rule;   // how the route is forced (always: range insertion, on ext4 only)
    std::int64_t growth;   // what the finished edit adds to the file
    std::string message;
    bool nested;        // also stop the second run at each of its writes
    bool dense = false; // padding written, not a hole
    // The coded video states its colour too: every decoded frame must say Display P3 after.
    bool bitstream = false;
    friend void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }
};
FileFaults ruleOf(const RouteCase& c) {
    return route(c.rule, SHIFT_STEP);
}

// A tail of four steps, the first one short. x264's parameter set says no colour, so it grows by
// its colour description (2 bytes) in the same edit as the colour atom (19).
const RouteCase SHIFT = {
    "shift", "mp4", SRC + SND + X264 + FAST, 150000, RangeInsertion::never, 21, ADDED, false,
    true,    true};

// The original movie, and the same movie tagged by an edit that was never interrupted.
struct Reference {
    fs::path original, finished;
    int ops = 0; // operations of the file layer in the uninterrupted edit
    std::uint64_t originalHash = 0, finishedHash = 0;
};

Reference makeReference(const TempDir& dir, const RouteCase& c) {
    Reference ref{dir / (std::string("original.") + c.ext),
                  dir / (std::string("finished.") + c.ext)};
    makeMovie(ref.original, c.args);
    if (c.padding) padWithFree(ref.original, c.padding, c.dense);
    fs::copy_file(ref.original, ref.finished);
    FileFaults counting = ruleOf(c);
    counting.after = [&](FileOp) { ++ref.ops; };
    EXPECT_EQ(processWith(ref.finished, counting).message, c.message);
    EXPECT_EQ(std::int64_t(fs::file_size(ref.finished)),
              std::int64_t(fs::file_size(ref.original)) + c.growth);
    EXPECT_EQ(frameHashes(ref.finished), frameHashes(ref.original));
    EXPECT_EQ(containerPrimaries(ref.finished), "smpte432\n");
    if (c.bitstream) {
        EXPECT_EQ(framePrimaries(ref.finished), std::vector<std::string>(10, "smpte432"));
    }
    ref.originalHash = fileHash(ref.original);
    ref.finishedHash = fileHash(ref.finished);
    return ref;
}

// What a stopped edit may leave: the original, the finished file, or a journal the next run finds.
void expectDetectable(const fs::path& work, std::uint64_t original, std::uint64_t finished) {
    const std::uint64_t h = fileHash(work);
    EXPECT_TRUE(h == original || h == finished || hasInterruptedEdit(work));
}

// The run after a stop: it finishes, or undoes and then makes, the same edit.
void expectFinishedByNextRun(const fs::path& work, const Reference& ref, const RouteCase& c) {
    auto r = processWith(work, ruleOf(c));
    // A stop after the journal went leaves the finished file, which reads as tagged.
    const std::set<std::string> fine = {
        c.message, FINISHED, "Interrupted edit undone; " + c.message, "Already Display-P3"};
    EXPECT_TRUE(fine.contains(r.message)) << r.message << " " << r.detail.value_or("");
    EXPECT_NE(r.outcome, error);
    EXPECT_EQ(fileHash(work), ref.finishedHash);
    EXPECT_TRUE(journals(work.parent_path()).empty());
}

class StopAtEveryWrite : public ::testing::TestWithParam<RouteCase> {};

TEST_P(StopAtEveryWrite, NextRunFinishesTheSameEdit) {
    const RouteCase& c = GetParam();
    TempDir dir;
    if (c.rule == RangeInsertion::always && !onExt4(dir.path()))
        GTEST_SKIP() << "range insertion needs ext4 (or XFS); " << dir.path() << " is neither";
    const Reference ref = makeReference(dir, c);
    ASSERT_GT(ref.ops, 3);
    const auto work = dir / ("work" + ref.original.extension().string());
    const auto edit = [&] { processCore(work); };
    const auto restart = [&] {
        fs::copy_file(ref.original, work, fs::copy_options::overwrite_existing);
    };
    for (int stop = 0; stop <= ref.ops; ++stop) {
        SCOPED_TRACE("stopped before operation " + std::to_string(stop));
        restart();
        EXPECT_EQ(runStoppedAt(stop, edit, ruleOf(c)), stop < ref.ops);
        expectDetectable(work, ref.originalHash, ref.finishedHash);
        // The run that recovers is stopped too, at each of its own writes, from the same state.
        for (int second = 0; c.nested && hasInterruptedEdit(work); ++second) {
            SCOPED_TRACE("and the next run before its operation " + std::to_string(second));
            const bool cut = runStoppedAt(second, edit, ruleOf(c));
            expectDetectable(work, ref.originalHash, ref.finishedHash);
            expectFinishedByNextRun(work, ref, c);
            if (!cut) break;
            restart();
            ASSERT_TRUE(runStoppedAt(stop, edit, ruleOf(c)));
        }
        expectFinishedByNextRun(work, ref, c);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routes, StopAtEveryWrite,
    ::testing::ValuesIn(std::vector<RouteCase>{
        {"absorb", "mov", SRC + SND + X264 + "-moov_size 20000", 0, RangeInsertion::bySize, 0,
         ADDED, true},
        {"range", "mp4", SRC + SND + X264 + FAST, 1 << 20, RangeInsertion::always, 4096, ADDED,
         true, false, true},
        SHIFT,
        {"shift_small", "mp4", SRC + SND + X264 + FAST, 0, RangeInsertion::never, 21, ADDED, true},
        {"shift_moov_last", "mp4", SRC + SND + X264, 0, RangeInsertion::bySize, 21, ADDED, true,
         false, true},
        // The same routes with writes in the samples: parameter sets at each key frame, a header
        // in every ProRes frame.
        {"bitstream_patch", "mov", SRC + X264 + IN_BAND + BT709, 0, RangeInsertion::bySize, 0,
         FIXED, true, false, true},
        {"bitstream_absorb", "mov", SRC + SND + PRORES + "-moov_size 20000", 0,
         RangeInsertion::bySize, 0, ADDED, false, false, true},
        {"bitstream_shift", "mov", SRC + SND + PRORES + FAST, 150000, RangeInsertion::never, 19,
         ADDED, false, false, true},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// A power loss keeps what reached the disk, which a stop between writes does not show: a step's
// record can land before the previous step's write to the movie, and the movie's writes of the
// steps recorded may all be missing. Each stop is followed by taking those writes back.
TEST(PowerLoss, StepsRecordedButNotInTheMovieAreRedone) {
    TempDir dir;
    const Reference ref = makeReference(dir, SHIFT);
    const auto work = dir / "work.mp4";
    FileHandle original = FileHandle::openForReading(ref.original);
    int rewound = 0;
    for (int stop = 0; stop < ref.ops; ++stop) {
        SCOPED_TRACE("stopped before operation " + std::to_string(stop));
        fs::copy_file(ref.original, work, fs::copy_options::overwrite_existing);
        ASSERT_TRUE(runStoppedAt(
            stop, [&] { processCore(work); }, ruleOf(SHIFT)));
        auto found = journals(dir.path());
        std::erase_if(found, [](const fs::path& p) { return p.extension() != ".journal"; });
        FileIdentity mine;
        mine.owner = ::geteuid();
        auto opened = JournalFile::open(found.empty() ? dir / "none" : found[0], mine);
        const FileHandle movie = FileHandle::openForUpdate(work);
        // Once the mark says the edit settled, the steps were durable long before.
        const auto mark = findMark(movie);
        if (opened.ok() && opened->first == JournalFile::State::valid && mark &&
            mark->state == MarkState::journaled) {
            const JournalFile& jf = opened->second;
            for (const ShiftStep& step : jf.recordedSteps()) {
                // What the destination held before: the original bytes, zeros past its old end.
                const std::uint64_t at = step.from + jf.journal().delta;
                Blob before(step.data.size(), 0);
                ASSERT_TRUE(original.readAt(at, before).ok());
                ASSERT_TRUE(movie.writeAt(at, before).ok());
                ++rewound;
            }
        }
        expectFinishedByNextRun(work, ref, SHIFT);
    }
    EXPECT_GT(rewound, 4); // the four steps, and both slots at once
}

// A moov-first movie made sparse: a clip, then a free atom of `padding` bytes that is a hole but
// for one data block at each of `blocks` (offsets into the padding). make() writes it, always the
// same bytes, and gives its hash; finished is the hash of it tagged by an uninterrupted run.
struct SparseMovie {
    SparseMovie(const TempDir& dir, std::uint64_t padding, std::vector<std::uint64_t> blocks,
                const FileFaults& rule)
        : clip(dir / "clip.mp4"), padding(padding), blocks(std::move(blocks)) {
        makeMovie(clip, SRC + SND + X264 + FAST);
        const auto ref = dir / "ref.mp4";
        make(ref);
        const std::string hashes = frameHashes(ref);
        EXPECT_EQ(processWith(ref, rule).message, ADDED);
        EXPECT_EQ(frameHashes(ref), hashes);
        finished = fileHash(ref);
        fs::remove(ref);
    }
    std::uint64_t make(const fs::path& path) const {
        fs::copy_file(clip, path, fs::copy_options::overwrite_existing);
        const std::uint64_t at = fs::file_size(path);
        padWithFree(path, padding);
        FileHandle f = FileHandle::openForUpdate(path);
        for (std::uint64_t b : blocks)
            EXPECT_TRUE(f.writeAt(at + b, Blob(4096, 0xAB)).ok());
        return fileHash(path);
    }

    fs::path clip;
    std::uint64_t padding;
    std::vector<std::uint64_t> blocks;
    std::uint64_t finished = 0;
};

// A range insertion is one call that a stop between writes cannot split; what the file system
// leaves when a crash does split it is made here by hand: the blocks behind a later extent
// boundary moved, the ones before it not; or the size grown and nothing moved. Blocks moved by
// another amount than the journal says are left as they are, the journal with them.
TEST(RangeInsertion, APartlyDoneInsertionIsUndoneThenMadeAgain) {
    TempDir dir;
    if (!onExt4(dir.path()))
        GTEST_SKIP() << "range insertion needs ext4; " << dir.path() << " is not";
    const FileFaults always = route(RangeInsertion::always);
    const SparseMovie movie(dir, 24 << 20, {8 << 20, 16 << 20}, always);
    const auto work = dir / "work.mp4";
    // The second data block, an extent of its own.
    const std::uint64_t dataAt = (fs::file_size(movie.clip) + movie.blocks[1]) / 4096 * 4096;
    const std::string UNDONE = "Interrupted edit undone; " + ADDED;
    using Crash = std::function<Status(const FileHandle&)>;
    const std::tuple<const char*, Crash, std::string> crashes[] = {
        {"tail behind the second data block moved",
         [&](const FileHandle& f) { return f.insertRange(dataAt, 4096); }, UNDONE},
        {"size grown, nothing moved",
         [](const FileHandle& f) { return f.truncate(*f.size() + 4096); }, UNDONE},
        {"moved by twice the amount",
         [&](const FileHandle& f) { return f.insertRange(dataAt, 8192); },
         "Can't finish an interrupted edit — file left as it is"},
    };
    for (const auto& [what, crash, message] : crashes) {
        SCOPED_TRACE(what);
        movie.make(work);
        ASSERT_TRUE(runStoppedWhen([](int, FileOp op) { return op == FileOp::insertRange; },
                                   [&] { processCore(work); }, always));
        ASSERT_TRUE(crash(FileHandle::openForUpdate(work)).ok());
        EXPECT_TRUE(hasInterruptedEdit(work));
        const std::uint64_t crashed = fileHash(work);
        auto r = processWith(work, always);
        const bool undone = message == UNDONE;
        EXPECT_EQ(std::tie(r.outcome, r.message), std::tuple(undone ? added : error, message));
        EXPECT_EQ(fileHash(work), undone ? movie.finished : crashed);
        EXPECT_EQ(journals(dir.path()).empty(), undone);
    }
}

// SIGKILL at several moments of a shift through a 200 MB movie, then a second run. (A range
// insertion is one call a kill cannot split: what a crash leaves of one is made by hand above.)
TEST(KillMidInsertion, SecondRunLeavesTheFinishedMovie) {
    TempDir dir;
    const FileFaults rule = route(RangeInsertion::never);
    const SparseMovie movie(dir, 200 << 20, {}, rule);
    const auto work = dir / "work.mp4";
    for (int moment : {9, 44, 84, 110}) {
        SCOPED_TRACE("killed after operation " + std::to_string(moment));
        const std::uint64_t original = movie.make(work);
        EXPECT_TRUE(runKilledAfter(
            moment, [&] { processCore(work); }, rule));
        expectDetectable(work, original, movie.finished);
        auto r = processWith(work, rule);
        EXPECT_EQ(r.outcome, added) << r.message << " " << r.detail.value_or("");
        EXPECT_EQ(fileHash(work), movie.finished);
        EXPECT_TRUE(journals(dir.path()).empty());
    }
}

} // namespace
