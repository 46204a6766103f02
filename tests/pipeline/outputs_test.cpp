// The files a copy or a bake makes: an earlier one kept when the new one fails, the source's
// attributes carried over, sources other runs hold refused, killed runs' leftovers cleared.
#include "base/work_file.h"
#include "edit/journal.h"
#include "fixtures/media.h"
#include "pipeline/copy.h"
#include "pipeline/driver.h"
#include "pipeline/leftovers.h"
#include "pipeline/source.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

using namespace tgtest;
using tg::TGMode;
using tg::TGOutcome;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A tagged movie with moov first, and a photo: made once, copied into each test's folder.
fs::path media(const std::string& name) {
    return name == "clip.mov"
               ? madeOnce(name, "-f lavfi -i testsrc2=s=64x48:d=0.6:r=25 -c:v libx264 -pix_fmt "
                                "yuv420p -color_primaries bt709 -color_trc bt709 -colorspace "
                                "bt709 -movflags +faststart")
               : madeOnce(name, "-f lavfi -i testsrc2=s=64x48 -frames:v 1");
}

class Outputs : public ::testing::Test {
protected:
    TempDir dir_;
};

TEST_F(Outputs, AFailedCopyOrBakeKeepsTheEarlierOutputByteForByte) {
    // Cut short: in 64 bytes the copy's tag finds no moov; the bake tags half a moov-first
    // movie, then its encode runs out of frames.
    const std::tuple<TGMode, std::string, std::string, std::size_t> cases[] = {
        {TGMode::p3Copy, "cut_P3.mov", "Unsupported (no moov)  →  cut_P3.mov", 64},
        {TGMode::bake, "cut_universal.mov", "Re-encode failed: ", 0},
    };
    for (const auto& [mode, output, message, keep] : cases) {
        SCOPED_TRACE(output);
        TempDir dir;
        auto bytes = readBytes(media("clip.mov"));
        bytes.resize(keep ? keep : bytes.size() / 2);
        writeBytes(dir / "cut.mov", bytes);
        writeBytes(dir / output, {'e', 'a', 'r', 'l', 'y'});

        const auto r = tg::processOne(dir / "cut.mov", mode);
        EXPECT_EQ(r.outcome, TGOutcome::error);
        EXPECT_TRUE(r.message.starts_with(message)) << r.message;
        EXPECT_EQ(readBytes(dir / output), (std::vector<std::uint8_t>{'e', 'a', 'r', 'l', 'y'}));
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"cut.mov", output}));
    }
}

TEST_F(Outputs, ACopyFromAnotherFileSystemOntoAFullOneSaysTheDiskIsFull) {
    SmallDisk disk(1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    // Across file systems the kernel declines (EXDEV) and the plain loop meets the full disk.
    writeBytes(dir_ / "big.mov", std::vector<std::uint8_t>(4 << 20, 0x5A));
    const auto source = tg::FileHandle::openForReading(dir_ / "big.mov");
    const tg::FileHandle copy(
        ::open((disk.path() / "big_P3.mov").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    const auto copied = tg::copyInto(source, copy);
    EXPECT_TRUE(copied.is(ENOSPC));
    EXPECT_EQ(copied.cause(), "No space left on device");
}

TEST_F(Outputs, CopiesKeepExtendedAttributesAndModeBitsPlusOwnerWrite) {
    for (std::string name : {"clip.mov", "photo.jpg"}) {
        SCOPED_TRACE(name);
        fs::copy_file(media(name), dir_ / name);
        const std::string note = "graded by A";
        ASSERT_EQ(::setxattr((dir_ / name).c_str(), "user.note", note.data(), note.size(), 0), 0);
        ASSERT_EQ(::chmod((dir_ / name).c_str(), 0444), 0);

        const auto r = tg::processOne(dir_ / name, TGMode::p3Copy);
        ASSERT_EQ(r.outcome, TGOutcome::fixed) << r.message;
        char value[64] = {};
        const ssize_t got = ::getxattr(r.produced->c_str(), "user.note", value, sizeof value);
        EXPECT_EQ(std::string(value, std::size_t(std::max<ssize_t>(got, 0))), note);
        struct stat st {};
        ASSERT_EQ(::stat(r.produced->c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
}

TEST_F(Outputs, ASourceAnotherRunHoldsIsRefusedBeforeAnythingIsWritten) {
    // An in-place edit holds its file exclusively; a copy shares it with other readers, but a
    // bake of a movie, which tags it before it reads it, needs it to itself.
    for (auto held : {tg::LockKind::exclusive, tg::LockKind::shared}) {
        for (auto [mode, name] : {std::pair{TGMode::p3Copy, "clip.mov"},
                                  {TGMode::bake, "clip.mov"},
                                  {TGMode::p3Copy, "photo.jpg"},
                                  {TGMode::bake, "photo.jpg"}}) {
            SCOPED_TRACE(std::string(name) + " " + tg::modeName(mode));
            TempDir dir;
            fs::copy_file(media(name), dir / name);
            const auto before = readBytes(dir / name);
            auto other = tg::FileHandle::openRegular(dir / name, held == tg::LockKind::exclusive);
            ASSERT_TRUE(other->tryLock(held).ok());

            const auto r = tg::processOne(dir / name, mode);
            if (held == tg::LockKind::shared && (mode == TGMode::p3Copy || !tg::isMovie(name))) {
                EXPECT_EQ(r.outcome, TGOutcome::fixed) << r.message;
                continue;
            }
            EXPECT_EQ(r.message, tg::IN_USE_MESSAGE);
            EXPECT_EQ(r.detail, tg::errorText(EAGAIN));
            EXPECT_EQ(readBytes(dir / name), before);
            EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{name});
        }
    }
}

TEST_F(Outputs, TheNextRunClearsKilledRunsLeftoversButNotLiveOnesOrJournals) {
    const std::string uuid = tg::uuidString();
    const std::vector<std::string> dead = {".tg_copy_" + uuid + ".mov", ".tg_bake_" + uuid + ".MP4",
                                           ".tg_img_" + uuid + ".jpg", ".tg_img_" + uuid};
    std::vector<std::string> kept = {
        ".tg_edit_2049_1234.journal", // an interrupted in-place edit's: only recovery ends it
        ".tg_copy_not-a-uuid.mov", ".tg_copy_" + uuid + "x.mov", "notes" + uuid + ".txt",
        "photo.jpg"};
    for (const auto& name : dead)
        writeBytes(dir_ / name, {0});
    for (const auto& name : kept)
        writeBytes(dir_ / name, {0});
    // A copy killed while it was tagged: its hidden file's own journal goes with it.
    auto copy = tg::FileHandle::openRegular(dir_ / dead[0], false);
    ASSERT_TRUE(copy.ok());
    const auto id = copy->identity();
    const auto journal = tg::journalPath(dir_ / dead[0], id->device, id->inode);
    writeBytes(journal, {0});
    *copy = tg::FileHandle();
    // Named like ours but live: marked by its run, or locked by an edit; or not a plain file.
    const std::string live = ".tg_copy_" + tg::uuidString() + ".mov",
                      edited = ".tg_bake_" + tg::uuidString() + ".mov",
                      fifo = ".tg_img_" + tg::uuidString() + ".jpg";
    auto marked = tg::createLive(dir_ / live, 0600);
    writeBytes(dir_ / edited, {0});
    auto edit = tg::FileHandle::openRegular(dir_ / edited, true);
    ASSERT_TRUE(marked.ok() && edit->tryLock(tg::LockKind::exclusive).ok());
    ASSERT_EQ(::mkfifo((dir_ / fifo).c_str(), 0600), 0);
    for (const auto& name : dead)
        EXPECT_TRUE(tg::isLeftoverName(name)) << name;
    for (const auto& name : kept)
        EXPECT_FALSE(tg::isLeftoverName(name)) << name;

    // Any run in the folder sweeps it, whatever its mode and result.
    fs::copy_file(media("photo.jpg"), dir_ / "photo.jpg", fs::copy_options::overwrite_existing);
    EXPECT_EQ(tg::processOne(dir_ / "photo.jpg", TGMode::inPlace).outcome, TGOutcome::fixed);
    kept.insert(kept.end(), {live, edited, fifo});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(namesIn(dir_.path()), kept);

    *marked = tg::FileHandle(); // their runs end without finishing
    *edit = tg::FileHandle();
    EXPECT_EQ(tg::processOne(dir_ / "gone.mov", TGMode::p3Copy).outcome, TGOutcome::error);
    EXPECT_FALSE(fs::exists(dir_ / live) || fs::exists(dir_ / edited));
}

} // namespace
