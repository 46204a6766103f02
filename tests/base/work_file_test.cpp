// Working files: the live mark that keeps another run's sweep away, and the hidden file that
// takes its final name only when committed.
#include "base/work_file.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using namespace tgtest;
using tg::FileHandle;
using tg::PendingFile;

// removeIfAbandoned as another process sees it.
bool removedByAnotherProcess(const fs::path& path) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(tg::removeIfAbandoned(path) ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string text(const fs::path& file) {
    const auto bytes = readBytes(file);
    return {bytes.begin(), bytes.end()};
}

TEST(LiveFiles, TheMarkLastsAsLongAsTheHandleAndSweepsSpareOnlyTheLive) {
    TempDir dir;
    const auto live = dir / ".tg_copy_live.mov";
    {
        auto held = tg::createLive(live, 0600);
        ASSERT_TRUE(held.ok()) << held.cause();
        EXPECT_TRUE(tg::createLive(live, 0600).failed()) << "the name is taken";
        // An edit's record lock on the same file does not meet the mark.
        EXPECT_TRUE(held->tryLock(tg::LockKind::exclusive).ok());
        EXPECT_FALSE(tg::removeIfAbandoned(live));
        EXPECT_FALSE(removedByAnotherProcess(live));
        EXPECT_TRUE(fs::exists(live));
    }
    EXPECT_TRUE(removedByAnotherProcess(live));
    EXPECT_FALSE(fs::exists(live));

    // Unmarked, but held by an edit's lock (as a run before the mark existed would): kept.
    writeBytes(dir / "edited.mov", {1});
    auto edit = FileHandle::openRegular(dir / "edited.mov", true);
    ASSERT_TRUE(edit->tryLock(tg::LockKind::exclusive).ok());
    EXPECT_FALSE(removedByAnotherProcess(dir / "edited.mov"));
    *edit = FileHandle();
    EXPECT_TRUE(tg::removeIfAbandoned(dir / "edited.mov"));

    // Never a FIFO (without blocking on it), a folder, or what a link points to.
    ASSERT_EQ(::mkfifo((dir / "pipe.mov").c_str(), 0600), 0);
    fs::create_directory(dir / "folder.mov");
    writeBytes(dir / "target.mov", {1});
    fs::create_symlink(dir / "target.mov", dir / "link.mov");
    for (const char* name : {"pipe.mov", "folder.mov", "link.mov"}) {
        EXPECT_FALSE(tg::removeIfAbandoned(dir / name)) << name;
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir / name))) << name;
    }
    EXPECT_TRUE(fs::exists(dir / "target.mov"));
}

TEST(PendingFiles, TakeTheirNameOnlyWhenCommitted) {
    TempDir dir;
    const auto final = dir / "Clip_P3.MOV";
    writeBytes(final, {'o', 'l', 'd'});
    const auto onlyFinal = [&] {
        return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()) == 1;
    };
    {
        auto pending = PendingFile::create(final, ".tg_copy_", 0600);
        ASSERT_TRUE(pending.ok()) << pending.cause();
        EXPECT_EQ(pending->path().parent_path(), dir.path());
        EXPECT_TRUE(pending->path().filename().string().starts_with(".tg_copy_"));
        EXPECT_EQ(pending->path().extension(), ".MOV");
        ASSERT_TRUE(tg::writeAll(pending->handle().fd(), 0, std::vector<std::uint8_t>{'n'}).ok());
    } // abandoned: the final name keeps what it had
    EXPECT_EQ(text(final), "old");
    EXPECT_TRUE(onlyFinal());

    auto pending = PendingFile::create(final, ".tg_copy_", 0600);
    ASSERT_TRUE(tg::writeAll(pending->handle().fd(), 0, std::vector<std::uint8_t>{'n'}).ok());
    ASSERT_TRUE(pending->commit().ok());
    EXPECT_EQ(text(final), "n");
    EXPECT_TRUE(onlyFinal());

    // A tagger that replaces the hidden file by a rename of its own: the replacement is what
    // takes the name.
    auto replaced = PendingFile::create(final, ".tg_copy_", 0600);
    writeBytes(dir / "tagged", {'t'});
    fs::rename(dir / "tagged", replaced->path());
    ASSERT_TRUE(replaced->commit().ok());
    EXPECT_EQ(text(final), "t");
    EXPECT_TRUE(onlyFinal());

    // A final name that cannot be replaced (a folder) fails and leaves no hidden file.
    fs::remove(final);
    fs::create_directories(final / "inside");
    {
        auto blocked = PendingFile::create(final, ".tg_copy_", 0600);
        EXPECT_TRUE(blocked->commit().failed());
    }
    EXPECT_TRUE(onlyFinal());
}

} // namespace
