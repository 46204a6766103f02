// One file through processOne in each mode: its result, the file it names, and what the folder
// holds afterwards. Every copy and bake finds an earlier output at its name first; some find
// their source held by another run. Then runs stopped at every write, the sweep of killed runs'
// leftovers, and the preflight checks of the folder and the free space.
#include "base/work_file.h"
#include "edit/journal.h"
#include "fixtures/media.h"
#include "fixtures/stops.h"
#include "pipeline/batch.h"
#include "pipeline/copy.h"
#include "pipeline/driver.h"
#include "pipeline/output_names.h"
#include "pipeline/preflight.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

using namespace tgtest;
using tg::TGMode;
using enum tg::TGOutcome;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sources by kind, placed in dir as name: a clip(), half of "bt709.mov" (its moov is whole, its
// frames are not), bytes no reader accepts, or a FIFO.
void place(const std::string& kind, const fs::path& dir, const std::string& name) {
    if (kind == "cut.mov") {
        auto bytes = readBytes(clip("bt709.mov"));
        bytes.resize(bytes.size() / 2);
        writeBytes(dir / name, bytes);
    } else if (kind == "junk") {
        writeBytes(dir / name, std::vector<std::uint8_t>(64, 0x41));
    } else if (kind == "fifo") {
        ASSERT_EQ(::mkfifo((dir / name).c_str(), 0644), 0);
    } else {
        placed(kind, dir, name);
    }
}

struct Row {
    const char* source; // a kind for place()
    const char* name;
    TGMode mode;
    tg::TGOutcome outcome;
    std::string message;  // the start of it where it ends with a cause
    const char* output;   // the name written: the earlier output's, or the source's in place
    bool produced = true; // whether the result names it
    std::optional<tg::LockKind> held = std::nullopt; // by another run, as the run starts
    friend void PrintTo(const Row& r, std::ostream* os) {
        *os << r.name << " " << tg::modeName(r.mode);
    }
};

using enum tg::LockKind;

const Row ROWS[] = {
    {"bt709.mov", "My.clip.MOV", TGMode::p3Copy, fixed, "Fixed → Display-P3  →  My.clip_P3.MOV",
     "My.clip_P3.MOV"},
    {"p3.mov", "Clip.mov", TGMode::p3Copy, already, "Already Display-P3  →  Clip_P3.mov",
     "Clip_P3.mov"},
    {"junk", "broken.mov", TGMode::p3Copy, error, "Unsupported (no moov)  →  broken_P3.mov",
     "broken_P3.mov", false},
    {"photo.png", "photo.PNG", TGMode::bake, fixed, "Tagged → Display-P3  →  photo_P3.PNG",
     "photo_P3.PNG"},
    {"cut.mov", "cut.mov", TGMode::bake, error, "Re-encode failed: ", "cut_universal.mov", false},
    {"fifo", "pipe.mov", TGMode::bake, error, "Couldn't tag before baking: not a regular file",
     "pipe_universal.mov", false},
    // An in-place edit holds its file exclusively; a copy shares it with other readers, but a
    // bake of a movie, which tags it before it reads it, needs it to itself.
    {"bt709.mov", "held.mov", TGMode::p3Copy, error, tg::IN_USE_MESSAGE, "held_P3.mov", false,
     exclusive},
    {"bt709.mov", "held.mov", TGMode::p3Copy, fixed, "Fixed → Display-P3  →  held_P3.mov",
     "held_P3.mov", true, shared},
    {"bt709.mov", "held.mov", TGMode::bake, error, tg::IN_USE_MESSAGE, "held_universal.mov", false,
     shared},
};

class ProcessOne : public ::testing::TestWithParam<Row> {};

TEST_P(ProcessOne, GivesItsResultAndKeepsTheEarlierOutputUnlessItFinished) {
    const Row& r = GetParam();
    TempDir dir;
    place(r.source, dir.path(), r.name);
    const bool copying = r.mode != TGMode::inPlace && r.output;
    if (copying) writeBytes(dir / r.output, EARLIER);
    const auto before = namesIn(dir.path());
    const auto source = fs::is_regular_file(dir / r.name) ? readBytes(dir / r.name) : EARLIER;
    auto other = tg::FileHandle::openRegular(dir / r.name, r.held == exclusive);
    if (r.held) {
        ASSERT_TRUE(other->tryLock(*r.held).ok());
    }

    const auto got = tg::processOne(dir / r.name, r.mode);
    EXPECT_EQ(got.name(), r.name);
    EXPECT_EQ(got.outcome, r.outcome);
    EXPECT_TRUE(got.message.starts_with(r.message)) << got.message;
    EXPECT_EQ(got.produced, r.produced ? std::optional(dir / r.output) : std::nullopt);
    if (got.message == tg::IN_USE_MESSAGE) {
        EXPECT_EQ(got.detail, tg::errorText(EAGAIN));
    }
    // Outputs replace the earlier one under its own name, never numbered, and nothing is left.
    EXPECT_EQ(namesIn(dir.path()), before);
    if (copying) {
        EXPECT_EQ(readBytes(dir / r.output) == EARLIER, r.outcome == error);
        if (r.mode == TGMode::p3Copy || !tg::isMovie(r.name) || r.held) {
            EXPECT_EQ(fs::is_regular_file(dir / r.name) ? readBytes(dir / r.name) : EARLIER,
                      source);
        }
    }
    if (r.outcome == fixed && tg::isMovie(r.name)) {
        EXPECT_EQ(containerFields("stream=color_primaries", dir / r.output), "smpte432");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ProcessOne, ::testing::ValuesIn(ROWS));

// A read-only master still gets a copy its owner can tag, with the master's other bits and
// extended attributes; as an ordinary user, for whom the bits bind, in place is refused.
TEST(ProcessOnePermissions, ACopyKeepsAttributesPlusOwnerWriteAndALockedFileIsRefusedInPlace) {
    TempDir dir;
    for (std::string name : {"clip.mov", "photo.jpg"}) {
        SCOPED_TRACE(name);
        place(name == "clip.mov" ? "bt709.mov" : "photo.jpg", dir.path(), name);
        const std::string note = "graded by A";
        ASSERT_EQ(::setxattr((dir / name).c_str(), "user.note", note.data(), note.size(), 0), 0);
        ASSERT_EQ(::chmod((dir / name).c_str(), 0444), 0);

        const auto r = tg::processOne(dir / name, TGMode::p3Copy);
        ASSERT_EQ(r.outcome, fixed) << r.message;
        char value[64] = {};
        const ssize_t got = ::getxattr(r.produced->c_str(), "user.note", value, sizeof value);
        EXPECT_EQ(std::string(value, std::size_t(std::max<ssize_t>(got, 0))), note);
        EXPECT_EQ(fs::status(*r.produced).permissions(), fs::perms(0644));
        fs::remove(*r.produced);
    }
    if (!canMount()) GTEST_SKIP() << "needs root to act as an ordinary user";
    fs::permissions(dir.path(), fs::perms::all);
    EXPECT_EQ(runAsNobody([&] {
                  const auto copy = tg::processOne(dir / "clip.mov", TGMode::p3Copy);
                  const auto inPlace = tg::processOne(dir / "clip.mov", TGMode::inPlace);
                  return int(copy.outcome != fixed || inPlace.outcome != error ||
                             inPlace.message != "That file is locked or read-only." ||
                             inPlace.produced);
              }),
              0);
}

TEST(Leftovers, TheNextRunClearsKilledRunsLeftoversButNotLiveOnesOrJournals) {
    TempDir dir;
    const std::string uuid = tg::uuidString();
    const std::vector<std::string> dead = {".tg_copy_" + uuid + ".mov", ".tg_bake_" + uuid + ".MP4",
                                           ".tg_img_" + uuid + ".jpg", ".tg_img_" + uuid};
    std::vector<std::string> kept = {
        ".tg_edit_2049_1234.journal", // an interrupted in-place edit's: only recovery ends it
        ".tg_copy_not-a-uuid.mov", ".tg_copy_" + uuid + "x.mov", "notes" + uuid + ".txt"};
    for (const auto& name : dead)
        writeBytes(dir / name, {0});
    for (const auto& name : kept)
        writeBytes(dir / name, {0});
    // A copy killed while it was tagged: its hidden file's journal goes with it, unsaid.
    tg::Journal copyEdit;
    copyEdit.id = tg::uuidString();
    copyEdit.name = dead[0];
    writeBytes(tg::journalPath(dir.path(), copyEdit.id), tg::encodeJournal(copyEdit));
    // Named like ours but live: marked by its run, or locked by an edit; or not a plain file.
    const std::string live = ".tg_copy_" + tg::uuidString() + ".mov",
                      edited = ".tg_bake_" + tg::uuidString() + ".mov",
                      fifo = ".tg_img_" + tg::uuidString() + ".jpg";
    auto marked = tg::createLive(dir / live, 0600);
    writeBytes(dir / edited, {0});
    auto edit = tg::FileHandle::openRegular(dir / edited, true);
    ASSERT_TRUE(marked.ok() && edit->tryLock(tg::LockKind::exclusive).ok());
    ASSERT_EQ(::mkfifo((dir / fifo).c_str(), 0600), 0);

    // Any run in the folder sweeps it, whatever its mode and result.
    place("photo.jpg", dir.path(), "photo.jpg");
    EXPECT_EQ(tg::processOne(dir / "photo.jpg", TGMode::inPlace).outcome, fixed);
    kept.insert(kept.end(), {live, edited, fifo, "photo.jpg"});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(namesIn(dir.path()), kept);

    *marked = tg::FileHandle(); // their runs end without finishing
    *edit = tg::FileHandle();
    EXPECT_EQ(tg::processOne(dir / "gone.mov", TGMode::p3Copy).outcome, error);
    EXPECT_FALSE(fs::exists(dir / live) || fs::exists(dir / edited));
}

// Copies and bakes stopped at every operation of the file layer, as a kill or a power cut would
// stop them. After each stop the original is as it was (or, where the run tags it in place first,
// already the finished one), the final name holds the earlier output or the finished one and never
// a part, and the next run makes exactly what an uninterrupted run makes, leaving nothing hidden
// behind. (Photos tagged in place are stopped in the batch below; the bake helper's own writes go
// to the hidden file only, and it is killed mid-encode in the CLI tests.)
struct StopCase {
    const char* name;
    const char* source; // file name in the folder
    TGMode mode;
    const char* output;      // the name the run writes
    bool tagsSource = false; // a separate output, after the source is tagged in place
    friend void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }
};

class StopEveryWrite : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopEveryWrite, LeavesTheOldOrTheNewAndTheNextRunFinishes) {
    const StopCase& c = GetParam();
    const std::string ext = fs::path(c.source).extension().string();
    const fs::path pristine = clip(ext == ".mov" ? "bt709.mov" : "photo" + ext);
    const auto original = readBytes(pristine);

    // The uninterrupted run: what every stopped one must end as, and how many operations it has.
    TempDir reference;
    fs::copy_file(pristine, reference / c.source);
    int ops = 0;
    tg::FileFaults counting;
    counting.after = [&](tg::FileOp) { ++ops; };
    tg::setFileFaults(counting);
    const auto r = tg::processOne(reference / c.source, c.mode);
    tg::setFileFaults({});
    ASSERT_NE(r.outcome, error) << r.message;
    ASSERT_GT(ops, 1);
    const auto finished = readBytes(reference / c.output);
    const auto finishedSource = readBytes(reference / c.source);
    ASSERT_NE(finished, original);
    ASSERT_EQ(finishedSource != original, c.tagsSource);

    for (int stop = 0; stop < ops; ++stop) {
        SCOPED_TRACE("stopped before operation " + std::to_string(stop));
        TempDir dir;
        fs::copy_file(pristine, dir / c.source);
        writeBytes(dir / c.output, EARLIER);
        EXPECT_TRUE(runStoppedAt(stop, [&] { tg::processOne(dir / c.source, c.mode); }));

        // A source stopped mid-tag holds a journaled edit the next run finishes (the movie tests
        // stop that edit at every write); one not being tagged is untouched.
        if (!c.tagsSource) {
            EXPECT_EQ(readBytes(dir / c.source), original);
        }
        const auto output = readBytes(dir / c.output);
        EXPECT_TRUE(output == EARLIER || output == finished);

        const auto next = tg::processOne(dir / c.source, c.mode);
        EXPECT_NE(next.outcome, error) << next.message;
        EXPECT_EQ(readBytes(dir / c.output), finished);
        EXPECT_EQ(readBytes(dir / c.source), finishedSource);
        EXPECT_EQ(namesStartingWith(dir.path(), "."), std::vector<fs::path>());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StopEveryWrite,
    ::testing::Values(StopCase{"movie_copy", "clip.mov", TGMode::p3Copy, "clip_P3.mov"},
                      StopCase{"movie_bake", "clip.mov", TGMode::bake, "clip_universal.mov", true},
                      StopCase{"photo_copy", "photo.jpg", TGMode::p3Copy, "photo_P3.jpg"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

// A batch overlaps its files, so its writes and flushes interleave; stopped before any one of
// them, every file is still the original or the finished one (a movie mid-edit holds a journal
// the next run plays), no copy name holds a part, and the next run ends exactly as an
// uninterrupted one, with nothing hidden left behind.
TEST(BatchStoppedAtEveryWrite, LeavesEveryFileOldOrNewAndTheNextRunFinishesThemAll) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"bt709.mov", "a.mov"}, {"photo.jpg", "b.jpg"}, {"untagged.mp4", "c.mp4"},
        {"photo.png", "d.png"}, {"photo.jpg", "e.jpg"}};
    const std::vector<TGMode> modes = {TGMode::p3Copy, TGMode::inPlace};
    const auto batch = [&](const fs::path& dir) {
        std::vector<tg::Input> inputs;
        for (const auto& [kind, name] : files)
            inputs.push_back({dir / name, std::nullopt, {}, {}});
        tg::BatchHooks hooks;
        hooks.workers = 3;
        tg::runBatch(inputs, modes, hooks);
    };
    const auto lay = [&](const fs::path& dir) {
        for (const auto& [kind, name] : files)
            placed(kind, dir, name);
    };

    TempDir reference;
    lay(reference.path());
    std::atomic<int> ops = 0;
    tg::FileFaults counting;
    counting.after = [&](tg::FileOp) { ++ops; };
    tg::setFileFaults(counting);
    batch(reference.path());
    tg::setFileFaults({});
    ASSERT_GT(ops.load(), 2 * int(files.size()));

    // Workers interleave differently from run to run: the count is only roughly the reference's.
    for (int stop = 0;; ++stop) {
        SCOPED_TRACE("stopped before operation " + std::to_string(stop));
        ASSERT_LT(stop, ops + 16);
        TempDir dir;
        lay(dir.path());
        const bool stopped = runStoppedAt(stop, [&] { batch(dir.path()); });
        for (const auto& [kind, name] : files) {
            const fs::path copy = tg::p3CopyPath(dir / name);
            if (!fs::exists(copy)) continue;
            EXPECT_EQ(readBytes(copy), readBytes(tg::p3CopyPath(reference / name))) << name;
            if (kind.find(".mov") == std::string::npos && kind.find(".mp4") == std::string::npos) {
                EXPECT_TRUE(readBytes(dir / name) == readBytes(clip(kind)) ||
                            readBytes(dir / name) == readBytes(reference / name))
                    << name;
            }
        }
        batch(dir.path());
        EXPECT_EQ(namesIn(dir.path()), namesIn(reference.path()));
        for (const auto& name : namesIn(reference.path()))
            EXPECT_EQ(readBytes(dir / name), readBytes(reference / name)) << name;
        if (!stopped) break;
    }
}

// Across file systems the kernel declines the in-kernel copy (EXDEV) and the plain loop meets the
// full disk: that is what the copy reports, not the EXDEV it fell back from.
TEST(CopyInto, AFallbackCopyOntoAFullDiskSaysTheDiskIsFull) {
    TempDir dir;
    SmallDisk disk(1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    writeBytes(dir / "big.mov", std::vector<std::uint8_t>(4 << 20, 0x5A));
    const auto source = tg::FileHandle::openForReading(dir / "big.mov");
    const tg::FileHandle copy(
        ::open((disk.path() / "big_P3.mov").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    const auto copied = tg::copyInto(source, copy);
    EXPECT_TRUE(copied.is(ENOSPC));
    EXPECT_EQ(copied.cause(), "No space left on device");
}

TEST(FmtBytes, FileStyleDecimalUnits) {
    const std::pair<std::int64_t, const char*> cases[] = {{0, "Zero KB"},
                                                          {1, "1 byte"},
                                                          {999'500, "1 MB"},
                                                          {1'250'000, "1.3 MB"},
                                                          {5'050'000'000, "5.05 GB"},
                                                          {1'234'567'890'123, "1.23 TB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(tg::fmtBytes(bytes), text) << bytes;
}

TEST(WriteBlocker, FreeSpaceIsComparedWithNeedPlusMargin) {
    SmallDisk disk(300'000'000);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    auto file = disk.path() / "a.mov";
    std::ofstream(file) << "x";
    auto free = tg::freeSpace(disk.path());
    ASSERT_TRUE(free.has_value());
    // Exactly need + margin free passes; one byte less is refused and the message names both.
    std::int64_t need = *free - tg::FREE_SPACE_MARGIN;
    EXPECT_EQ(tg::writeBlocker(file, need), std::nullopt);
    EXPECT_EQ(tg::writeBlocker(file, need + 1)->message, "Not enough disk space — needs " +
                                                             tg::fmtBytes(need + 1) + ", only " +
                                                             tg::fmtBytes(*free) + " free.");
    // A need below 1 skips the space test.
    disk.fill(1000);
    EXPECT_EQ(tg::writeBlocker(file, 0), std::nullopt);
    EXPECT_NE(tg::writeBlocker(file, 1), std::nullopt);
}
