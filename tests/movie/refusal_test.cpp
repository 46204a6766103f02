// Movies refused before a byte changes, with a message that says why.
#include "movie/movie_fixtures.h"
#include "movie/movie_loader.h"

namespace {

using namespace movietest;

TEST(Refusal, ASecondTopLevelMoovIsRefused) {
    TempDir dir;
    const auto file = placed("bt709.mov", dir.path(), "two.mov");
    auto bytes = readBytes(file);
    const tg::FileHandle f = tg::FileHandle::openForReading(file);
    const auto moov = tg::findMoovAtom(f, bytes.size());
    ASSERT_TRUE(moov);
    bytes.insert(bytes.end(), bytes.begin() + std::ptrdiff_t(moov->start),
                 bytes.begin() + std::ptrdiff_t(moov->start + moov->size));
    writeBytes(file, bytes);
    const auto r = tg::processCore(file);
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_EQ(r.message, tg::TWO_MOOV);
    EXPECT_EQ(readBytes(file), bytes);
}

// The flush before a range insertion is the first thing that can meet a full disk.
TEST(Refusal, AFullDiskBeforeARangeInsertionSaysSo) {
    TempDir dir;
    const auto file = dir / "first.mp4";
    makeMovie(file, SRC + X264 + FAST);
    const auto before = readBytes(file);
    tg::FileFaults faults;
    faults.rangeInsertion = tg::RangeInsertion::always;
    faults.before = [](tg::FileOp op) { return op == tg::FileOp::sync ? ENOSPC : 0; };
    tg::setFileFaults(faults);
    const auto r = tg::processCore(file);
    tg::setFileFaults({});
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_EQ(r.message, "Not enough space for the edit on this file system");
    EXPECT_EQ(r.detail.value_or(""), "No space left on device");
    EXPECT_EQ(readBytes(file), before);
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
    const auto r = tg::processCore(file);
    EXPECT_EQ(r.message, "Couldn't grow file (disk full?)");
    EXPECT_EQ(fileHash(file), before);
    EXPECT_TRUE(journals(disk.path()).empty());
}

} // namespace
