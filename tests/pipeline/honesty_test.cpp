// Small things a run must not get wrong in silence: files deep in a tree, files it cannot read,
// and a bake helper whose starter is gone.
#include "bake/helper_protocol.h"
#include "base/file_faults.h"
#include "fixtures/media.h"
#include "fixtures/stops.h"
#include "pipeline/driver.h"
#include "pipeline/inputs.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace tgtest;

TEST(Walk, GoesDeeperThanTheLongestPathAndSaysWhatItCannotReach) {
    TempDir dir;
    placed("photo.jpg", dir.path(), "top.jpg");
    // Built relative to each level's descriptor: the full path is longer than any call takes.
    const std::string level(200, 'd');
    int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    fs::path deep = dir.path();
    while (deep.native().size() < PATH_MAX) {
        ASSERT_EQ(::mkdirat(fd, level.c_str(), 0755), 0);
        const int next = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        deep /= level;
    }
    ASSERT_EQ(::close(::openat(fd, "deep.jpg", O_WRONLY | O_CREAT, 0644)), 0);
    ::close(fd);

    const auto inputs = tg::expandInputs({dir.path()});
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0].path, dir / "top.jpg");
    EXPECT_FALSE(inputs[0].outcome);
    EXPECT_EQ(inputs[1].path, deep / "deep.jpg");
    EXPECT_EQ(inputs[1].outcome, tg::TGOutcome::error);
    EXPECT_EQ(inputs[1].message, "Can't read file: File name too long");
    // The tree is removed the same way it was made: remove_all works by descriptors too.
}

// A copy whose tagging ran out of room partway is gone with its journal: nothing to finish later,
// and nothing promised.
TEST(Copy, ThatRunsOutOfRoomPartwayLeavesNoJournalAndPromisesNothing) {
    TempDir dir;
    const auto file = dir / "first.mp4";
    ffmpeg("-f lavfi -i testsrc2=s=64x48:d=2:r=25 -c:v libx264 -pix_fmt yuv420p "
           "-movflags +faststart " +
           sh(file));
    const auto before = readBytes(file);
    auto grown = std::make_shared<int>(-1); // writes since the file grew
    tg::FileFaults faults;
    faults.rangeInsertion = tg::RangeInsertion::never;
    faults.shiftChunk = 4096;
    faults.skipSpaceCheck = true;
    faults.after = [grown](tg::FileOp op) {
        if (op == tg::FileOp::resize)
            *grown = 0;
        else if (op == tg::FileOp::write && *grown >= 0)
            ++*grown;
    };
    faults.before = [grown](tg::FileOp op) {
        return op == tg::FileOp::write && *grown >= 3 ? ENOSPC : 0;
    };
    tg::setFileFaults(faults);
    const auto r = tg::processOne(file, tg::TGMode::p3Copy);
    tg::setFileFaults({});
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_EQ(r.message, "Couldn't make a copy: No space left on device");
    EXPECT_EQ(readBytes(file), before);
    EXPECT_EQ(fs::directory_iterator(dir.path())->path(), file); // nothing else in the folder
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// A journal whose movie was re-exported over, or deleted, is removed by the next run in its folder
// and said once; it never blocks a file or applies to one.
TEST(StaleJournal, IsRetiredOnceAndBlocksNothing) {
    TempDir dir;
    const auto interrupt = [&](const fs::path& movie) {
        ASSERT_TRUE(journalOfAStoppedEdit(clip("untagged.mp4"), movie, [&] {
            (void)tg::processOne(movie, tg::TGMode::inPlace);
        }));
        ASSERT_EQ(journals(dir.path()).size(), 2u); // the journal, and a second name for the movie
    };
    const std::string ADDED = "No tag found — added Display-P3";
    const auto movie = dir / "clip.mp4";
    interrupt(movie);
    // Re-exported: a new file takes the name.
    placed("untagged.mp4", dir.path(), "export.mp4");
    fs::rename(dir / "export.mp4", movie);
    EXPECT_EQ(tg::processOne(movie, tg::TGMode::p3Copy).message,
              "Stale edit journal of clip.mp4 removed; " + ADDED + "  →  clip_P3.mp4");
    EXPECT_TRUE(journals(dir.path()).empty());
    EXPECT_EQ(tg::processOne(movie, tg::TGMode::inPlace).message, ADDED);
    // Deleted: a run on another file in the folder retires its journal.
    interrupt(movie);
    fs::remove(movie);
    EXPECT_EQ(tg::processOne(dir / "clip_P3.mp4", tg::TGMode::inPlace).message,
              "Stale edit journal of clip.mp4 removed; Already Display-P3");
    EXPECT_TRUE(journals(dir.path()).empty());
}

TEST(BakeHelper, EndsAtOnceWhenItsStarterIsAlreadyGone) {
    TempDir dir;
    const auto source = placed("bt709.mov", dir.path(), "source.mov");
    const auto output = dir / "out.mov";
    const char* helper = std::getenv(tg::bakeprotocol::HELPER_ENV);
    ASSERT_NE(helper, nullptr);
    // Started by a run whose id is not our parent's: that run has died and left us to another.
    const auto r = run(std::string(tg::bakeprotocol::PARENT_ENV) + "=1 " + sh(helper) + " " +
                       sh(source) + " " + sh(output));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(output));
}

} // namespace
