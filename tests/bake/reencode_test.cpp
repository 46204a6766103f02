// The re-encode pipeline on real clips, with ffprobe as the oracle.
#include "bake/bake.h"
#include "bake_media.h"
#include "core/file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using namespace tgtest;
using namespace tgtest::bake;

// The Display P3 tag as our in-place tag leaves it: colr primaries 12, transfer and matrix BT.709.
const std::string P3_TAGS =
    " -color_primaries smpte432 -color_trc bt709 -colorspace bt709 -movflags +write_colr ";
const std::string PATTERN = " -f lavfi -i testsrc2=s=160x90:r=25:d=0.6 ";

// How each source clip is made. Clips are made on first use and kept for the suite, so a test
// run on its own (as ctest does) makes only what it needs.
const std::map<std::string, std::string> RECIPES = {
    {"h264_aac.mov", PATTERN +
                         "-f lavfi -i sine=f=440:d=0.6 -c:v libx264 -pix_fmt yuv420p "
                         "-c:a aac -shortest" +
                         P3_TAGS},
    {"hvc1.mp4",
     PATTERN + "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -tag:v hvc1" + P3_TAGS},
    {"hev1.mp4",
     PATTERN + "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -tag:v hev1" + P3_TAGS},
    {"prores.mov", "-f lavfi -i testsrc2=s=64x48:r=24:d=0.5 -c:v prores_ks -profile:v 2" + P3_TAGS},
    {"rotated.mov", PATTERN + "-c:v libx264 -pix_fmt yuv420p" + P3_TAGS},
    {"two_video.mov", PATTERN +
                          "-f lavfi -i testsrc=s=64x48:r=10:d=0.6 -f lavfi -i sine=d=0.6 "
                          "-map 0 -map 1 -map 2 -c:v libx264 -pix_fmt yuv420p -c:a aac" +
                          P3_TAGS},
    {"pcm.mov",
     PATTERN + "-f lavfi -i sine=d=0.6 -c:v libx264 -pix_fmt yuv420p -c:a pcm_s16le" + P3_TAGS},
    {"audio_only.mov", "-f lavfi -i sine=d=0.5 -c:a aac "},
    // Five frames a second: key frames at most every ten frames.
    {"slow.mp4",
     "-f lavfi -i testsrc2=s=96x64:r=5:d=5 -c:v libx264 -pix_fmt yuv420p -g 100" + P3_TAGS},
};

class Reencode : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = std::make_unique<TempDir>(); }
    static void TearDownTestSuite() { dir_.reset(); }

    static fs::path clip(const std::string& name) {
        const auto path = *dir_ / name;
        if (!fs::exists(path)) {
            ffmpeg(RECIPES.at(name) + sh(path));
            if (name == "rotated.mov") rotateFirstTrack(path);
        }
        return path;
    }
    fs::path out(const std::string& name) { return scratch_ / name; }

    static std::unique_ptr<TempDir> dir_;
    TempDir scratch_;
};

std::unique_ptr<TempDir> Reencode::dir_;

// Stream-level colour (the colr atom) and the frame's colour (the bitstream) both say BT.709.
void expectBt709(const fs::path& file) {
    auto video = streamsOf(probe(file), "video");
    ASSERT_EQ(video.size(), 1u) << file;
    for (const auto& tags : {video[0], firstVideoFrame(file)}) {
        EXPECT_EQ(tags.value("color_primaries", ""), "bt709") << file;
        EXPECT_EQ(tags.value("color_transfer", ""), "bt709") << file;
        EXPECT_EQ(tags.value("color_space", ""), "bt709") << file;
        EXPECT_EQ(tags.value("color_range", ""), "tv") << file;
        EXPECT_EQ(tags.value("pix_fmt", "yuv420p"), "yuv420p") << file;
    }
    EXPECT_EQ(colrPrimaries(file), 1) << file;
}

TEST_F(Reencode, H264MovieWithAudioKeepsSizeAudioAndBecomesBt709) {
    const auto dest = out("h264_universal.mov");
    auto status = tg::bakeToRec709Sync(clip("h264_aac.mov"), dest);
    ASSERT_TRUE(status.ok) << status.message;
    EXPECT_EQ(status.message, "ok");
    auto probed = probe(dest);
    auto video = streamsOf(probed, "video");
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0]["codec_name"], "h264");
    EXPECT_EQ(video[0]["codec_tag_string"], "avc1");
    EXPECT_EQ(video[0]["width"], 160);
    EXPECT_EQ(video[0]["height"], 90);
    EXPECT_EQ(video[0]["avg_frame_rate"], "25/1");
    EXPECT_EQ(majorBrand(dest), "qt  ");
    EXPECT_EQ(colrKind(dest), "nclc");
    expectBt709(dest);
    // Frame reordering is allowed: the encoder uses B-frames.
    EXPECT_NE(pictureTypes(dest).find('B'), std::string::npos) << pictureTypes(dest);
    // The audio is the same packets, byte for byte.
    ASSERT_EQ(streamsOf(probed, "audio").size(), 1u);
    EXPECT_FALSE(audioPackets(clip("h264_aac.mov")).empty());
    EXPECT_EQ(audioPackets(dest), audioPackets(clip("h264_aac.mov")));
}

TEST_F(Reencode, ContainerFollowsTheDestinationExtension) {
    for (const auto& [name, brand] :
         {std::pair{"a.MOV", "qt  "}, {"b.mp4", "isom"}, {"c.m4v", "isom"}}) {
        const auto dest = out(name);
        auto status = tg::bakeToRec709Sync(clip("h264_aac.mov"), dest);
        ASSERT_TRUE(status.ok) << name << ": " << status.message;
        EXPECT_EQ(majorBrand(dest), brand) << name;
    }
    // MPEG-4 files carry their colour as nclx, written on request.
    EXPECT_EQ(colrKind(out("b.mp4")), "nclx");
    expectBt709(out("b.mp4"));
    EXPECT_EQ(audioPackets(out("b.mp4")), audioPackets(clip("h264_aac.mov")));
}

TEST_F(Reencode, OnlyHvc1StaysHevcAndOtherCodecsBecomeH264) {
    const auto hvc1 = out("hvc1.mp4");
    auto status = tg::bakeToRec709Sync(clip("hvc1.mp4"), hvc1);
    ASSERT_TRUE(status.ok) << status.message;
    auto v = streamsOf(probe(hvc1), "video");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["codec_name"], "hevc");
    EXPECT_EQ(v[0]["codec_tag_string"], "hvc1");
    expectBt709(hvc1); // libx265 writes the VUI too

    for (const char* source : {"hev1.mp4", "prores.mov"}) {
        const auto dest = out(std::string("from_") + source);
        status = tg::bakeToRec709Sync(clip(source), dest);
        ASSERT_TRUE(status.ok) << source << ": " << status.message;
        auto s = streamsOf(probe(dest), "video");
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(s[0]["codec_name"], "h264") << source;
        expectBt709(dest);
    }
    EXPECT_EQ(streamsOf(probe(out("from_prores.mov")), "video")[0]["width"], 64);
}

TEST_F(Reencode, RotationTravelsAndTheSizeStaysUnrotated) {
    const auto source = streamsOf(probe(clip("rotated.mov")), "video");
    ASSERT_EQ(source.size(), 1u);
    ASSERT_NE(rotationOf(source[0]), 0) << "no display matrix in the source";
    const auto dest = out("rotated.mov");
    auto status = tg::bakeToRec709Sync(clip("rotated.mov"), dest);
    ASSERT_TRUE(status.ok) << status.message;
    auto v = streamsOf(probe(dest), "video");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(rotationOf(v[0]), rotationOf(source[0]));
    EXPECT_EQ(v[0]["width"], 160);
    EXPECT_EQ(v[0]["height"], 90);
}

TEST_F(Reencode, SeveralVideoTracksGiveOneFromTheFirst) {
    const auto dest = out("two.mov");
    auto status = tg::bakeToRec709Sync(clip("two_video.mov"), dest);
    ASSERT_TRUE(status.ok) << status.message;
    auto probed = probe(dest);
    auto v = streamsOf(probed, "video");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["width"], 160);
    EXPECT_EQ(v[0]["avg_frame_rate"], "25/1");
    EXPECT_EQ(streamsOf(probed, "audio").size(), 1u);
}

// MPEG-4 cannot hold PCM here: the movie is baked without its audio rather than not at all, while
// a QuickTime destination keeps it.
TEST_F(Reencode, AudioTheContainerCannotHoldIsLeftOut) {
    auto status = tg::bakeToRec709Sync(clip("pcm.mov"), out("pcm.mp4"));
    ASSERT_TRUE(status.ok) << status.message;
    EXPECT_EQ(streamsOf(probe(out("pcm.mp4")), "audio").size(), 0u);
    status = tg::bakeToRec709Sync(clip("pcm.mov"), out("pcm.mov"));
    ASSERT_TRUE(status.ok) << status.message;
    EXPECT_EQ(audioPackets(out("pcm.mov")), audioPackets(clip("pcm.mov")));
}

TEST_F(Reencode, VideoOnlySourceAndKeyFrameInterval) {
    const auto dest = out("slow.mp4");
    auto status = tg::bakeToRec709Sync(clip("slow.mp4"), dest);
    ASSERT_TRUE(status.ok) << status.message;
    auto probed = probe(dest);
    EXPECT_EQ(streamsOf(probed, "audio").size(), 0u);
    // 5 fps: a key frame at least every 10 frames (the source had one every 100).
    const auto types = pictureTypes(dest);
    ASSERT_EQ(types.size(), 25u) << types;
    std::size_t gap = 0, longest = 0;
    for (char t : types) {
        gap = t == 'I' ? 1 : gap + 1;
        longest = std::max(longest, gap);
    }
    EXPECT_LE(longest, 10u) << types;
    EXPECT_GE(std::count(types.begin(), types.end(), 'I'), 3) << types;
}

TEST_F(Reencode, ProgressIsWholePercentStepsOnTheLoopThread) {
    std::vector<double> calls;
    std::vector<std::thread::id> threads;
    tg::BakeStatus status;
    std::thread worker([&] {
        status = tg::bakeToRec709Sync(clip("slow.mp4"), out("p.mp4"), [&](double f) {
            calls.push_back(f);
            threads.push_back(std::this_thread::get_id());
        });
    });
    const auto workerId = worker.get_id();
    worker.join();
    ASSERT_TRUE(status.ok) << status.message;
    // 25 frames over 5 seconds: one call per frame, 0 % to 96 %.
    ASSERT_EQ(calls.size(), 25u);
    EXPECT_EQ(calls.front(), 0.0);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_GE(calls[i], 0.0);
        EXPECT_LE(calls[i], 1.0);
        if (i > 0) {
            EXPECT_GT(int(calls[i] * 100), int(calls[i - 1] * 100));
        }
        EXPECT_EQ(threads[i], workerId);
    }
    EXPECT_LT(calls.back(), 1.0);
}

TEST_F(Reencode, FailuresBeforeWritingNameTheirStep) {
    // No video track: nothing is created.
    auto status = tg::bakeToRec709Sync(clip("audio_only.mov"), out("a.mov"));
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message, "no video track");
    EXPECT_FALSE(fs::exists(out("a.mov")));
    status = tg::bakeToRec709Sync(out("missing.mov"), out("b.mov"));
    EXPECT_EQ(status.message, "no video track");
    writeBytes(out("text.mov"), {'h', 'e', 'l', 'l', 'o'});
    status = tg::bakeToRec709Sync(out("text.mov"), out("c.mov"));
    EXPECT_EQ(status.message, "no video track");
    EXPECT_FALSE(fs::exists(out("c.mov")));
    // The destination's folder does not exist.
    status = tg::bakeToRec709Sync(clip("h264_aac.mov"), out("no/such/folder/d.mov"));
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message, "writer init");
}

TEST_F(Reencode, CorruptOrTruncatedSourcesEndWithAMessage) {
    // moov first, so the damage is in the samples.
    const auto whole = out("whole.mov");
    ffmpeg(PATTERN + "-c:v libx264 -pix_fmt yuv420p -movflags +faststart" + P3_TAGS + sh(whole));
    auto bytes = readBytes(whole);
    ASSERT_GT(bytes.size(), 4000u);

    auto cut = bytes;
    cut.resize(bytes.size() / 2);
    writeBytes(out("cut.mov"), cut);
    auto status = tg::bakeToRec709Sync(out("cut.mov"), out("cut_u.mov"));
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message.rfind("read failed: ", 0), 0u) << status.message;

    auto garbled = bytes;
    for (std::size_t i = bytes.size() / 3; i < garbled.size(); i += 7)
        garbled[i] = std::uint8_t(garbled[i] * 31 + 7);
    writeBytes(out("garbled.mov"), garbled);
    status = tg::bakeToRec709Sync(out("garbled.mov"), out("garbled_u.mov"));
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message.rfind("read failed: ", 0), 0u) << status.message;

    // Cut exactly between two samples: the demuxer just ends, but the movie said there was more.
    auto positions = run(
        "ffprobe -v error -select_streams v:0 -show_entries packet=pos -of csv=p=0 " + sh(whole));
    std::vector<std::size_t> starts;
    std::istringstream lines(positions.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) starts.push_back(std::stoul(line));
    ASSERT_GT(starts.size(), 10u);
    writeBytes(out("boundary.mov"), {bytes.begin(), bytes.begin() + long(starts[10])});
    status = tg::bakeToRec709Sync(out("boundary.mov"), out("boundary_u.mov"));
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message, "read failed: End of file");

    // Every size of a cut: never a crash, never success without a message.
    for (std::size_t size = 64; size < bytes.size(); size += bytes.size() / 7) {
        writeBytes(out("n.mov"), {bytes.begin(), bytes.begin() + long(size)});
        status = tg::bakeToRec709Sync(out("n.mov"), out("n_u.mov"));
        EXPECT_FALSE(status.message.empty()) << size;
        EXPECT_FALSE(status.ok) << size;
    }
}

TEST_F(Reencode, FullDiskEndsTheRunWithTheWriteError) {
    SmallDisk disk(4'000'000);
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    // Grain at a high rate: about 400 KB of video, where 64 KB are left.
    const auto source = out("grain.mov");
    ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=1,noise=alls=40:allf=t -c:v libx264 -b:v 3M "
           "-pix_fmt yuv420p " +
           sh(source));
    const auto dest = disk.path() / "full.mov";
    disk.fill(64 * 1024);
    auto status = tg::bakeToRec709Sync(source, dest);
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.message, tg::errorText(ENOSPC));
}

} // namespace
