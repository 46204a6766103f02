// The bake driver end to end: room check, in-place tag, re-encode beside the source, clean-up.
#include "bake/bake.h"
#include "bake_media.h"
#include "core/file.h"
#include "core/preflight.h"

#include <gtest/gtest.h>

namespace {

using namespace tgtest;
using namespace tgtest::bake;

class BakeDriver : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        clips_ = std::make_unique<TempDir>();
        // An untagged movie, as it comes from an editor: no colr atom at all.
        ffmpeg("-f lavfi -i testsrc2=s=96x64:r=25:d=0.4 -f lavfi -i sine=d=0.4 -c:v libx264 "
               "-pix_fmt yuv420p -c:a aac -shortest " +
               sh(*clips_ / "plain.mov"));
        ffmpeg("-f lavfi -i testsrc2=s=96x64:r=25:d=0.4 -c:v libx264 -pix_fmt yuv420p "
               "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc "
               "-movflags +write_colr " +
               sh(*clips_ / "hdr.mov"));
        ffmpeg("-f lavfi -i sine=d=0.4 -c:a aac " + sh(*clips_ / "audio_only.mov"));
    }
    static void TearDownTestSuite() { clips_.reset(); }

    // A fresh copy of a clip in this test's folder, under the given name.
    fs::path place(const std::string& clip, const std::string& name) {
        fs::copy_file(*clips_ / clip, dir_ / name);
        return dir_ / name;
    }

    static std::unique_ptr<TempDir> clips_;
    TempDir dir_;
};

std::unique_ptr<TempDir> BakeDriver::clips_;

TEST_F(BakeDriver, BakesBesideTheSourceAndTagsTheSource) {
    const auto source = place("plain.mov", "Clip.MOV");
    std::vector<double> progress;
    auto r = tg::bakeVideo(source, [&](double f) { progress.push_back(f); });
    ASSERT_EQ(r.outcome, tg::TGOutcome::added) << r.message;
    EXPECT_EQ(r.name(), "Clip.MOV");
    EXPECT_EQ(r.message, "Baked at full quality  →  Clip_universal.MOV");
    ASSERT_TRUE(r.produced);
    EXPECT_EQ(*r.produced, dir_ / "Clip_universal.MOV");
    EXPECT_EQ(majorBrand(*r.produced), "qt  ");
    EXPECT_EQ(colrPrimaries(*r.produced), 1);
    EXPECT_EQ(audioPackets(*r.produced), audioPackets(source));
    EXPECT_EQ(colrPrimaries(source), 12); // the source leaves tagged Display P3
    EXPECT_FALSE(progress.empty());
}

TEST_F(BakeDriver, ReplacesAnOldOutputAndBakesAnEarlierOutputAgain) {
    const auto source = place("plain.mov", "Clip_universal.mp4");
    writeBytes(dir_ / "Clip_universal_universal.mp4", {'o', 'l', 'd'});
    auto r = tg::bakeVideo(source);
    ASSERT_EQ(r.outcome, tg::TGOutcome::added) << r.message;
    EXPECT_EQ(r.message, "Baked at full quality  →  Clip_universal_universal.mp4");
    EXPECT_EQ(majorBrand(dir_ / "Clip_universal_universal.mp4"), "isom");
    // Baking a source that is already tagged still bakes.
    auto again = tg::bakeVideo(source);
    EXPECT_EQ(again.outcome, tg::TGOutcome::added) << again.message;
}

TEST_F(BakeDriver, HdrSourceIsLeftAlone) {
    const auto source = place("hdr.mov", "hdr.mov");
    const auto before = readBytes(source);
    auto r = tg::bakeVideo(source);
    EXPECT_EQ(r.outcome, tg::TGOutcome::hdr) << r.message;
    EXPECT_FALSE(r.produced);
    EXPECT_FALSE(fs::exists(dir_ / "hdr_universal.mov"));
    EXPECT_EQ(readBytes(source), before);
}

TEST_F(BakeDriver, NoVideoTrackFailsTheReencodeAndLeavesNothing) {
    const auto source = place("audio_only.mov", "voice.mov");
    auto r = tg::bakeVideo(source);
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_EQ(r.message, "Re-encode failed: no video track");
    EXPECT_FALSE(r.produced);
    EXPECT_FALSE(fs::exists(dir_ / "voice_universal.mov"));
}

TEST_F(BakeDriver, FailedReencodeRemovesTheOutputButKeepsTheTag) {
    // moov first, then samples garbled past the first frames: the encode has begun when it fails.
    const auto source = dir_ / "broken.mov";
    ffmpeg("-f lavfi -i testsrc2=s=96x64:r=25:d=0.8 -c:v libx264 -pix_fmt yuv420p "
           "-movflags +faststart " +
           sh(source));
    auto bytes = readBytes(source);
    for (std::size_t i = bytes.size() / 2; i < bytes.size(); i += 5)
        bytes[i] = std::uint8_t(bytes[i] * 31 + 7);
    writeBytes(source, bytes);

    auto r = tg::bakeVideo(source);
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_EQ(r.message.rfind("Re-encode failed: read failed: ", 0), 0u) << r.message;
    EXPECT_FALSE(r.produced);
    EXPECT_FALSE(fs::exists(dir_ / "broken_universal.mov"));
    EXPECT_EQ(colrPrimaries(source), 12);
}

TEST_F(BakeDriver, NoRoomMeansNoTagAndNoOutput) {
    SmallDisk disk(4'000'000);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    const auto source = disk.path() / "Clip.mov";
    fs::copy_file(*clips_ / "plain.mov", source);
    const auto before = readBytes(source);
    const auto blocked = tg::writeBlocker(source, tg::fileSizeOf(source));
    ASSERT_TRUE(blocked) << "a 4 MB disk must be too small for the preflight";
    auto r = tg::bakeVideo(source);
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_EQ(r.message, *blocked);
    EXPECT_EQ(readBytes(source), before);
    EXPECT_FALSE(fs::exists(disk.path() / "Clip_universal.mov"));
}

} // namespace
