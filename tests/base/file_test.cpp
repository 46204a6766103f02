// The file layer's guards: only regular files are opened, and locks keep two runs apart.
#include "base/file.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace tgtest;
using tg::FileHandle;
using tg::LockKind;

TEST(OpenRegular, RefusesFifosAndFoldersWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe.mov").c_str(), 0644), 0);
    for (bool writable : {false, true}) {
        // A plain open of a FIFO for reading would wait for a writer forever.
        auto fifo = FileHandle::openRegular(dir / "pipe.mov", writable);
        ASSERT_TRUE(fifo.failed()) << "opened a FIFO";
        EXPECT_EQ(fifo.cause(), "not a regular file");
        EXPECT_TRUE(FileHandle::openRegular(dir.path(), writable).failed());
    }
    writeBytes(dir / "clip.mov", {1, 2, 3});
    auto file = FileHandle::openRegular(dir / "clip.mov", true);
    ASSERT_TRUE(file.ok()) << file.cause();
    EXPECT_EQ(*file->size(), 3u);
}

TEST(Locks, ConflictAcrossOpensAndProcessesAndEndWithTheHandle) {
    TempDir dir;
    writeBytes(dir / "clip.mov", {0});
    auto first = FileHandle::openRegular(dir / "clip.mov", true);
    ASSERT_TRUE(first->tryLock(LockKind::exclusive).ok());
    {
        // A second open in the same process is another run as far as the lock is concerned.
        auto second = FileHandle::openRegular(dir / "clip.mov", false);
        const auto status = second->tryLock(LockKind::shared);
        EXPECT_TRUE(FileHandle::isHeldElsewhere(status)) << status.cause();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        auto other = FileHandle::openRegular(dir / "clip.mov", true);
        ::_exit(FileHandle::isHeldElsewhere(other->tryLock(LockKind::exclusive)) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    *first = FileHandle(); // closing releases it
    auto readers = FileHandle::openRegular(dir / "clip.mov", false);
    auto moreReaders = FileHandle::openRegular(dir / "clip.mov", false);
    EXPECT_TRUE(readers->tryLock(LockKind::shared).ok());
    EXPECT_TRUE(moreReaders->tryLock(LockKind::shared).ok());
}

} // namespace
