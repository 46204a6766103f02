// The file layer's guard: only regular files are opened (locks are met through the movie tests).
#include "base/file.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

} // namespace
