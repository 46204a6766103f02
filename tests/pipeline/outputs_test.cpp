// The files a copy or a bake makes: hidden until complete, an earlier one kept when the new one
// fails, the source's attributes carried over, sources other runs hold refused, and killed runs'
// leftovers cleared by the next run in the folder.
#include "base/file.h"
#include "base/work_file.h"
#include "fixtures/media.h"
#include "pipeline/driver.h"
#include "pipeline/leftovers.h"
#include "pipeline/source.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

using namespace tgtest;
using tg::TGMode;
using tg::TGOutcome;

using Bytes = std::vector<std::uint8_t>;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Outputs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media_ = new TempDir;
        ffmpeg("-f lavfi -i testsrc2=s=64x48:d=0.4:r=10 -c:v libx264 -pix_fmt yuv420p "
               "-color_primaries bt709 -color_trc bt709 -colorspace bt709 " +
               sh(*media_ / "clip.mov"));
        ffmpeg("-f lavfi -i testsrc2=s=64x48:d=0.6:r=25 -c:v libx264 -pix_fmt yuv420p "
               "-movflags +faststart " +
               sh(*media_ / "faststart.mov"));
        ffmpeg("-f lavfi -i testsrc2=s=64x48 -frames:v 1 " + sh(*media_ / "photo.jpg"));
    }
    static void TearDownTestSuite() { delete media_; }

    fs::path place(const std::string& source, const std::string& as) {
        fs::copy_file(*media_ / source, dir_ / as);
        return dir_ / as;
    }

    static TempDir* media_;
    TempDir dir_;
};
TempDir* Outputs::media_ = nullptr;

TEST_F(Outputs, AFailedCopyOrBakeKeepsTheEarlierOutputByteForByte) {
    // Cut short: the copy's tag finds no moov in 64 bytes; the bake tags half a moov-first movie,
    // then its encode runs out of frames.
    struct Case {
        TGMode mode;
        std::string output, message;
        std::size_t keep;
    };
    const Case cases[] = {
        {TGMode::p3Copy, "cut_P3.mov", "Unsupported (no moov)  →  cut_P3.mov", 64},
        {TGMode::bake, "cut_universal.mov", "Re-encode failed: ", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        TempDir dir;
        auto bytes = readBytes(*media_ / "faststart.mov");
        bytes.resize(c.keep ? c.keep : bytes.size() / 2);
        writeBytes(dir / "cut.mov", bytes);
        const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
        writeBytes(dir / c.output, earlier);

        const auto r = tg::processOne(dir / "cut.mov", c.mode);
        EXPECT_EQ(r.outcome, TGOutcome::error);
        EXPECT_TRUE(r.message.starts_with(c.message)) << r.message;
        EXPECT_EQ(readBytes(dir / c.output), earlier);
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"cut.mov", c.output}));
    }
}

TEST_F(Outputs, CopiesKeepExtendedAttributesAndModeBitsPlusOwnerWrite) {
    for (std::string name : {"clip.mov", "photo.jpg"}) {
        SCOPED_TRACE(name);
        const auto source = place(name, "src_" + name);
        const std::string tag = "graded by A";
        ASSERT_EQ(::setxattr(source.c_str(), "user.tintguard.note", tag.data(), tag.size(), 0), 0)
            << "this file system has no user attributes";
        ASSERT_EQ(::chmod(source.c_str(), 0444), 0);

        const auto r = tg::processOne(source, TGMode::p3Copy);
        ASSERT_EQ(r.outcome, TGOutcome::fixed) << r.message;
        ASSERT_TRUE(r.produced);
        char value[64] = {};
        const ssize_t got = ::getxattr(r.produced->c_str(), "user.tintguard.note", value, 64);
        EXPECT_EQ(std::string(value, std::size_t(std::max<ssize_t>(got, 0))), tag);
        struct stat st {};
        ASSERT_EQ(::stat(r.produced->c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
}

TEST_F(Outputs, ASourceAnEditHoldsIsRefusedBeforeAnythingIsWritten) {
    // What an in-place run holds for the whole of its edit.
    for (TGMode mode : {TGMode::p3Copy, TGMode::bake}) {
        for (std::string name : {"clip.mov", "photo.jpg"}) {
            SCOPED_TRACE(name + " " + tg::modeName(mode));
            TempDir dir;
            fs::copy_file(*media_ / name, dir / name);
            const auto before = readBytes(dir / name);
            auto edit = tg::FileHandle::openRegular(dir / name, true);
            ASSERT_TRUE(edit->tryLock(tg::LockKind::exclusive).ok());

            const auto r = tg::processOne(dir / name, mode);
            EXPECT_EQ(r.outcome, TGOutcome::error);
            EXPECT_EQ(r.message, tg::IN_USE_MESSAGE);
            EXPECT_EQ(r.detail, tg::errorText(EAGAIN));
            EXPECT_EQ(readBytes(dir / name), before);
            EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{name});
        }
    }
    // Readers share: a copy beside another run's copy goes ahead, but a bake, which tags the
    // source before it reads it, waits for its turn.
    const auto clip = place("clip.mov", "shared.mov");
    auto reader = tg::FileHandle::openRegular(clip, false);
    ASSERT_TRUE(reader->tryLock(tg::LockKind::shared).ok());
    EXPECT_EQ(tg::processOne(clip, TGMode::p3Copy).outcome, TGOutcome::fixed);
    EXPECT_EQ(tg::processOne(clip, TGMode::bake).message, tg::IN_USE_MESSAGE);
}

TEST_F(Outputs, TheNextRunClearsKilledRunsLeftoversButNotLiveOnesOrJournals) {
    const std::string uuid = tg::uuidString();
    const std::vector<std::string> dead = {
        ".tg_copy_" + uuid + ".mov", ".tg_bake_" + uuid + ".MP4", ".tg_img_" + uuid + ".jpg",
        ".tg_img_" + tg::uuidString(), // a photo without an extension
    };
    for (const auto& name : dead)
        writeBytes(dir_ / name, {0});
    const std::vector<std::string> kept = {
        ".tg_edit_2049_1234.journal", // an interrupted in-place edit's: only recovery ends it
        ".tg_copy_not-a-uuid.mov",    // not one of ours
        ".tg_copy_" + uuid + "x.mov", // nor this
        "notes" + tg::uuidString() + ".txt", // a user's file with a UUID in its name
    };
    for (const auto& name : kept)
        writeBytes(dir_ / name, {0});
    const auto liveName = ".tg_copy_" + tg::uuidString() + ".mov";
    auto live = tg::createLive(dir_ / liveName, 0600);
    ASSERT_TRUE(live.ok());
    for (const auto& name : dead)
        EXPECT_TRUE(tg::isLeftoverName(name)) << name;
    for (const auto& name : kept)
        EXPECT_FALSE(tg::isLeftoverName(name)) << name;

    // Any run in the folder sweeps it, whatever the mode and whatever its own result.
    place("photo.jpg", "photo.jpg");
    EXPECT_EQ(tg::processOne(dir_ / "photo.jpg", TGMode::inPlace).outcome, TGOutcome::fixed);
    auto expected = kept;
    expected.push_back(liveName);
    expected.push_back("photo.jpg");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(dir_.path()), expected);

    *live = tg::FileHandle(); // its run ends without finishing
    EXPECT_EQ(tg::processOne(dir_ / "gone.mov", TGMode::p3Copy).outcome, TGOutcome::error);
    EXPECT_FALSE(fs::exists(dir_ / liveName));
}

} // namespace
