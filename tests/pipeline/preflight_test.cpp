#include "pipeline/preflight.h"

#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tg;
using tgtest::TempDir;

TEST(FmtBytes, FileStyleDecimalUnits) {
    const std::pair<std::int64_t, const char*> cases[] = {{0, "Zero KB"},
                                                          {1, "1 byte"},
                                                          {999, "999 bytes"},
                                                          {1000, "1 KB"},
                                                          {1499, "1 KB"},
                                                          {999'499, "999 KB"},
                                                          {999'500, "1 MB"},
                                                          {1'000'000, "1 MB"},
                                                          {1'250'000, "1.3 MB"},
                                                          {101'000'000, "101 MB"},
                                                          {5'000'000'000, "5 GB"},
                                                          {5'050'000'000, "5.05 GB"},
                                                          {1'234'567'890'123, "1.23 TB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(fmtBytes(bytes), text) << bytes;
}

TEST(WriteBlocker, ReadOnlyFolderIsRefusedEvenForAWritableFile) {
    TempDir dir;
    auto folder = dir / "ro";
    std::filesystem::create_directory(folder);
    auto file = folder / "a.mov";
    std::ofstream(file) << "x";
    namespace fs = std::filesystem;
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(file, fs::perms::all);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    auto check = [&] {
        return writeBlocker(file, 1'000'000) ==
               "That folder is read-only — move the file somewhere you can save to.";
    };
    // Root ignores permission bits, so ask as an ordinary user where we can.
    if (::geteuid() == 0)
        EXPECT_EQ(tgtest::runAsNobody([&] { return check() ? 0 : 1; }), 0);
    else
        EXPECT_TRUE(check());
}

TEST(WriteBlocker, LockedFileInWritableFolderPasses) {
    TempDir dir;
    auto file = dir / "a.mov";
    std::ofstream(file) << "x";
    std::filesystem::permissions(file, std::filesystem::perms::owner_read);
    EXPECT_EQ(writeBlocker(file, 1'000'000), std::nullopt);
}

TEST(WriteBlocker, FreeSpaceIsComparedWithNeedPlusMargin) {
    tgtest::SmallDisk disk(300'000'000);
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
