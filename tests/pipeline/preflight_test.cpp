#include "pipeline/preflight.h"

#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tg;
using namespace tgtest;

TEST(FmtBytes, FileStyleDecimalUnits) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "Zero KB"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1 KB"},
        {1499, "1 KB"},
        {999'499, "999 KB"},
        {999'500, "1 MB"},
        {1'250'000, "1.3 MB"},
        {101'000'000, "101 MB"},
        {5'000'000'000, "5 GB"},
        {5'050'000'000, "5.05 GB"},
        {1'234'567'890'123, "1.23 TB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(fmtBytes(bytes), text) << bytes;
}

// The folder decides, not the file: a locked file in a writable folder passes (the in-place
// step refuses it with its own message), a writable file in a read-only folder does not.
TEST(WriteBlocker, AReadOnlyFolderIsRefusedALockedFileIsNot) {
    TempDir dir;
    fs::create_directory(dir / "ro");
    std::ofstream(dir / "locked.mov") << "x";
    std::ofstream(dir / "ro/a.mov") << "x";
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir / "locked.mov", fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(dir / "ro/a.mov", fs::perms::all);
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    auto check = [&] {
        return writeBlocker(dir / "locked.mov", 1'000'000) == std::nullopt &&
               writeBlocker(dir / "ro/a.mov", 1'000'000) ==
                   "That folder is read-only — move the file somewhere you can save to.";
    };
    // Root ignores permission bits, so ask as an ordinary user where we can.
    EXPECT_TRUE(::geteuid() == 0 ? runAsNobody([&] { return check() ? 0 : 1; }) == 0 : check());
}

TEST(WriteBlocker, FreeSpaceIsComparedWithNeedPlusMargin) {
    SmallDisk disk(300'000'000);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    auto file = disk.path() / "a.mov";
    std::ofstream(file) << "x";
    auto free = freeSpace(disk.path());
    ASSERT_TRUE(free.has_value());
    // Exactly need + margin free passes; one byte less is refused and the message names both.
    std::int64_t need = *free - FREE_SPACE_MARGIN;
    EXPECT_EQ(writeBlocker(file, need), std::nullopt);
    EXPECT_EQ(writeBlocker(file, need + 1), "Not enough disk space — needs " + fmtBytes(need + 1) +
                                                ", only " + fmtBytes(*free) + " free.");
    // A need below 1 skips the space test.
    disk.fill(1000);
    EXPECT_EQ(writeBlocker(file, 0), std::nullopt);
    EXPECT_NE(writeBlocker(file, 1), std::nullopt);
}
