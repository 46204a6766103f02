#include "pipeline/driver.h"
#include "pipeline/output_names.h"

#include "fixtures/media.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

using namespace tg;
using tgtest::TempDir;
namespace fs = std::filesystem;

namespace {

// Tiny real media, made once for the program and copied into each test's folder.
class ProcessOneTest : public ::testing::Test {
protected:
    fs::path place(const std::string& source, const std::string& as) {
        const std::string movie = "-f lavfi -i testsrc2=s=64x48:d=0.4:r=10 -c:v libx264 "
                                  "-pix_fmt yuv420p -color_trc bt709 -colorspace bt709 ";
        const auto made =
            source == "photo.png"
                ? tgtest::madeOnce(source, "-f lavfi -i testsrc2=s=64x48 -frames:v 1")
                : tgtest::madeOnce(source, movie + "-color_primaries " +
                                               (source == "p3.mov" ? "smpte432" : "bt709"));
        fs::copy_file(made, dir_ / as);
        return dir_ / as;
    }
    TempDir dir_;
};

} // namespace

TEST(ProcessOne, ClassifiesByTheLowerCasedExtensionOnly) {
    EXPECT_TRUE(isMovie("/x/Clip.MOV") && isMovie("clip.m4v"));
    EXPECT_TRUE(isImage("/x/photo.HEIC") && isImage("scan.Tif"));
    EXPECT_FALSE(isMovie("clip.mov ") || isMovie("mov") || isImage("notes.txt"));
    EXPECT_FALSE(VIDEO_EXTS.contains("MOV") || VIDEO_EXTS.contains(".mov"));
}

TEST(ProcessOne, UnsupportedFilesAreSkippedInEveryModeWithoutTouchingThem) {
    for (auto mode : {TGMode::inPlace, TGMode::p3Copy, TGMode::bake}) {
        for (std::string name : {"notes.txt", "README", "clip.mov "}) {
            auto r = processOne("/nonexistent/" + name, mode);
            EXPECT_EQ(r.name(), name);
            EXPECT_EQ(r.outcome, TGOutcome::skipped);
            EXPECT_EQ(r.message, "Skipped (unsupported)");
            EXPECT_FALSE(r.produced);
        }
    }
}

TEST(ProcessOne, OutputNamesKeepTheExtensionAsWritten) {
    EXPECT_EQ(p3CopyPath("/m/Clip.MOV"), "/m/Clip_P3.MOV");
    EXPECT_EQ(p3CopyPath("/m/photo.HEIC"), "/m/photo_P3.HEIC");
    EXPECT_EQ(p3CopyPath("/m/my.clip.mp4"), "/m/my.clip_P3.mp4");
    EXPECT_EQ(universalPath("/m/Clip.MOV"), "/m/Clip_universal.MOV");
    EXPECT_EQ(universalPath("/m/my.clip.mp4"), "/m/my.clip_universal.mp4");
}

TEST_F(ProcessOneTest, CopyIsTaggedAndTheOriginalKeepsEveryByte) {
    auto clip = place("bt709.mov", "Clip.MOV");
    auto before = tgtest::readBytes(clip);
    auto r = processOne(clip, TGMode::p3Copy);
    EXPECT_EQ(r.name(), "Clip.MOV");
    EXPECT_EQ(r.outcome, TGOutcome::fixed);
    EXPECT_EQ(r.message, "Fixed → Display-P3  →  Clip_P3.MOV");
    EXPECT_EQ(r.produced, dir_ / "Clip_P3.MOV");
    EXPECT_EQ(tgtest::readBytes(clip), before);
    EXPECT_EQ(tgtest::containerFields("stream=color_primaries", dir_ / "Clip_P3.MOV"), "smpte432");
}

TEST_F(ProcessOneTest, AnEarlierCopyIsReplacedNotNumbered) {
    auto clip = place("bt709.mov", "a.mov");
    std::ofstream(dir_ / "a_P3.mov") << "stale copy";
    auto r = processOne(clip, TGMode::p3Copy);
    EXPECT_EQ(r.outcome, TGOutcome::fixed);
    EXPECT_EQ(fs::file_size(dir_ / "a_P3.mov"), fs::file_size(clip));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);
}

TEST_F(ProcessOneTest, InPlaceResultsAlwaysNameTheDroppedFile) {
    auto tagged = place("p3.mov", "p3.mov");
    auto r = processOne(tagged, TGMode::inPlace);
    EXPECT_EQ(r.outcome, TGOutcome::already);
    EXPECT_EQ(r.message, "Already Display-P3");
    EXPECT_EQ(r.produced, tagged);

    auto broken = dir_ / "broken.mov";
    tgtest::writeBytes(broken, std::vector<std::uint8_t>(64, 0x41));
    r = processOne(broken, TGMode::inPlace);
    EXPECT_EQ(r.outcome, TGOutcome::error);
    EXPECT_EQ(r.message, "Unsupported (no moov)");
    EXPECT_EQ(r.produced, broken);
}

TEST_F(ProcessOneTest, AlreadyTaggedCopyIsKeptAndProduced) {
    auto clip = place("p3.mov", "Clip.mov");
    auto r = processOne(clip, TGMode::p3Copy);
    EXPECT_EQ(r.outcome, TGOutcome::already);
    EXPECT_EQ(r.message, "Already Display-P3  →  Clip_P3.mov");
    EXPECT_EQ(r.produced, dir_ / "Clip_P3.mov");
    EXPECT_TRUE(fs::exists(dir_ / "Clip_P3.mov"));
}

TEST_F(ProcessOneTest, FailedCopyIsRemovedButNamedInTheMessage) {
    auto broken = dir_ / "broken.mov";
    tgtest::writeBytes(broken, std::vector<std::uint8_t>(64, 0x41));
    auto r = processOne(broken, TGMode::p3Copy);
    EXPECT_EQ(r.outcome, TGOutcome::error);
    EXPECT_EQ(r.message, "Unsupported (no moov)  →  broken_P3.mov");
    EXPECT_FALSE(r.produced);
    EXPECT_FALSE(fs::exists(dir_ / "broken_P3.mov"));
}

TEST_F(ProcessOneTest, ImagesInBakeModeGetTheSameCopy) {
    auto photo = place("photo.png", "photo.PNG");
    auto copyRun = processOne(photo, TGMode::p3Copy);
    auto bakeRun = processOne(photo, TGMode::bake);
    EXPECT_EQ(copyRun.outcome, TGOutcome::fixed);
    EXPECT_EQ(bakeRun.outcome, TGOutcome::fixed);
    EXPECT_EQ(bakeRun.message, "Tagged → Display-P3  →  photo_P3.PNG");
    EXPECT_EQ(bakeRun.produced, dir_ / "photo_P3.PNG");
    EXPECT_FALSE(fs::exists(dir_ / "photo_universal.PNG"));
}

TEST_F(ProcessOneTest, ReadOnlyMasterStillGetsAWritableCopy) {
    auto clip = place("bt709.mov", "master.mov");
    fs::permissions(clip, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    auto r = processOne(clip, TGMode::p3Copy);
    EXPECT_EQ(r.outcome, TGOutcome::fixed) << r.message;
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "master_P3.mov").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
    EXPECT_EQ(st.st_mode & 0077, 0044u); // group and others keep the master's bits

    // The same as an ordinary user, for whom permission bits really bind.
    if (!tgtest::canMount()) return;
    fs::remove(dir_ / "master_P3.mov");
    fs::permissions(dir_.path(), fs::perms::all);
    int status = tgtest::runAsNobody([&] {
        auto asUser = processOne(clip, TGMode::p3Copy);
        return asUser.outcome == TGOutcome::fixed ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(ProcessOneTest, LockedFileIsRefusedInPlaceAfterThePreflight) {
    if (!tgtest::canMount()) GTEST_SKIP() << "needs root to act as an ordinary user";
    auto clip = place("bt709.mov", "locked.mov");
    fs::permissions(clip, fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(dir_.path(), fs::perms::all);
    int status = tgtest::runAsNobody([&] {
        auto r = processOne(clip, TGMode::inPlace);
        return r.outcome == TGOutcome::error && r.message == "That file is locked or read-only." &&
                       r.produced == std::nullopt
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status, 0);
}
