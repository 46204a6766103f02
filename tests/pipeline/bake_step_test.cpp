// The bake step on clips made at test time, through the helper process, with ffprobe as the
// oracle; then a colour chart measured against the matrices.
#include "base/file.h"
#include "fixtures/box_bytes.h"
#include "fixtures/media.h"
#include "pipeline/bake_step.h"
#include "pipeline/preflight.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

namespace {

using namespace tgtest;
using enum tg::TGOutcome;

const std::string PATTERN = "-f lavfi -i testsrc2=s=160x90:r=25:d=0.6 ";
const std::string SINE = "-f lavfi -i sine=d=0.6 ";
const std::string X264 = "-c:v libx264 -pix_fmt yuv420p ";
const std::string X265 = "-c:v libx265 -x265-params log-level=none -pix_fmt yuv420p ";
const std::string VP9_OPUS = "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus ";
const std::string NO_TAG = "[0][0][0][0]"; // Matroska has no sample entry

using Bytes = std::vector<std::uint8_t>;

// A 90-degree display matrix in the first (version 0) track header, as FFmpeg 5.1's CLI no longer
// makes one from rotate metadata: 0 1 0 / -1 0 0 / 0 0 1 in 16.16 and 2.30 fixed point.
void rotate(Bytes& bytes) {
    const Bytes tkhd = {'t', 'k', 'h', 'd'};
    const auto at = std::search(bytes.begin(), bytes.end(), tkhd.begin(), tkhd.end());
    ASSERT_NE(at, bytes.end());
    const Bytes matrix = fields("4:0 4:0x10000 4:0 4:0xFFFF0000 4:0 4:0 4:0 4:0 4:0x40000000");
    std::copy(matrix.begin(), matrix.end(), at + 44);
}

// ffprobe's answer as CSV, without the trailing separators of empty sections.
std::string ffprobe(const std::string& args, const fs::path& file) {
    auto out = run("ffprobe -v error -of csv=p=0 " + args + " " + sh(file)).out;
    return out.erase(out.find_last_not_of(",\n") + 1);
}

struct Clip {
    std::string name;   // of the source; the extension's case is kept in the output's name
    std::string recipe; // ffmpeg arguments that make it
    tg::TGOutcome outcome;
    // Baked: ffprobe's codec, tag, width, height and rotation if any; else the message's start.
    std::string result = "";
    std::function<void(Bytes&)> edit = [](Bytes&) {}; // of the file's bytes after making it
    std::string audio = ""; // the codec and channels audio is encoded to where it cannot be copied
    std::string propedit = ""; // mkvpropedit's edits of the source after making it
    friend void PrintTo(const Clip& clip, std::ostream* os) {
        *os << fs::path(clip.name).stem().string();
    }
};

const Clip CLIPS[] = {
    {"h264_aac.MOV", PATTERN + SINE + X264 + "-c:a aac -shortest", added, "h264,avc1,160,90"},
    {"hvc1.mp4", PATTERN + X265 + "-tag:v hvc1", added, "hevc,hvc1,160,90"},
    {"prores.mov", "-f lavfi -i testsrc2=s=64x48:r=24:d=0.5 -c:v prores_ks", added,
     "h264,avc1,64,48"},
    {"rotated.mov", PATTERN + X264, added, "h264,avc1,160,90,-90", rotate}, // and no audio
    {"audio_only.mov", SINE + "-c:a aac", error, "Re-encode failed: no video track"},
    {"hdr.mov",
     PATTERN + X264 +
         "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc -movflags +write_colr",
     hdr},
    {"matroska_h264_aac.mkv", PATTERN + SINE + X264 + "-c:a aac -shortest", added,
     "h264," + NO_TAG + ",160,90"},
    {"vp9_opus.webm", PATTERN + SINE + VP9_OPUS + "-shortest", added, "vp9," + NO_TAG + ",160,90"},
    // Matroska named .webm: its AAC cannot go into a WebM file as it is; its six channels stay.
    {"matroska_aac.webm",
     PATTERN + "-f lavfi -i sine=d=0.6,aformat=channel_layouts=5.1 " + X264 +
         "-c:a aac -shortest -f matroska",
     added, "vp9," + NO_TAG + ",160,90", [](Bytes&) {}, "opus,6"},
    // Matroska output keeps no display matrix: the pictures are turned upright instead.
    {"matroska_rotated.mkv", PATTERN + X264, added, "h264," + NO_TAG + ",90,160", [](Bytes&) {}, "",
     "--edit track:v1 --set projection-type=0 --set projection-pose-roll=90"},
};

class BakeClip : public ::testing::TestWithParam<Clip> {};

TEST_P(BakeClip, BakesABt709VersionBesideTheSource) {
    const Clip& clip = GetParam();
    TempDir dir;
    const auto source = dir / clip.name;
    ffmpeg(clip.recipe + " " + sh(source));
    auto bytes = readBytes(source);
    clip.edit(bytes);
    writeBytes(source, bytes);
    if (!clip.propedit.empty()) {
        ASSERT_EQ(run("mkvpropedit -q " + sh(source) + " " + clip.propedit).status, 0);
    }
    const auto output = dir / (source.stem().string() + "_universal" + source.extension().string());

    const auto r = tg::bakeVideo(source);
    ASSERT_EQ(r.outcome, clip.outcome) << r.message;
    if (clip.outcome != added) {
        EXPECT_TRUE(r.message.starts_with(clip.result)) << r.message;
        EXPECT_FALSE(fs::exists(output));
        return;
    }
    EXPECT_EQ(r.message, "Baked at full quality  →  " + output.filename().string());
    // One video track, from the first of the source's. The container's colour tag (read without
    // decoding) and the bitstream's (a frame's) both say BT.709.
    const std::string video = "-nofind_stream_info -select_streams v -show_entries stream=";
    EXPECT_EQ(ffprobe(video + "codec_name,codec_tag_string,width,height:stream_side_data=rotation",
                      output),
              clip.result);
    const std::string colour = "color_primaries,color_transfer,color_space";
    EXPECT_EQ(ffprobe(video + colour, output), "bt709,bt709,bt709");
    EXPECT_EQ(
        ffprobe("-select_streams v -read_intervals %+#1 -show_entries frame=" + colour, output),
        "bt709,bt709,bt709");
    const std::string frames =
        "-select_streams v -count_frames -show_entries stream=nb_read_frames";
    EXPECT_EQ(ffprobe(frames, output), ffprobe(frames, source));
    // The first picture, as ffmpeg shows it (turned as the file says), looks the same.
    const auto shown = [](const fs::path& f) {
        return run("ffmpeg -v error -i " + sh(f) + " -frames:v 1 -vf scale=8:8 -f rawvideo "
                   "-pix_fmt gray -").out;
    };
    const std::string a = shown(source), b = shown(output);
    ASSERT_TRUE(a.size() == 64 && b.size() == 64) << a.size() << " " << b.size();
    int apart = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        apart += std::abs(int(std::uint8_t(a[i])) - int(std::uint8_t(b[i])));
    EXPECT_LT(apart / 64, 30) << "a quarter turn off is about 70 apart";
    if (clip.audio.empty()) {
        // The audio packets are copied unchanged.
        const std::string audio =
            "-select_streams a -show_data_hash md5 -show_entries packet=size,data_hash";
        EXPECT_EQ(ffprobe(audio, output), ffprobe(audio, source));
        return;
    }
    // Encoded again: all of it, in 20 ms packets.
    const auto got = ffprobe("-select_streams a -count_packets -show_entries "
                             "stream=codec_name,channels,nb_read_packets",
                             output);
    ASSERT_TRUE(got.starts_with(clip.audio + ",")) << got;
    const double seconds = std::stod(ffprobe("-show_entries format=duration", source));
    EXPECT_GE(std::stoi(got.substr(clip.audio.size() + 1)) * 0.020, seconds - 0.021) << got;
}

INSTANTIATE_TEST_SUITE_P(Clips, BakeClip, ::testing::ValuesIn(CLIPS),
                         ::testing::PrintToStringParamName());

TEST(BakeDriver, FullDiskEndsWithItsMessageAndNoOutput) {
    SmallDisk disk(tg::FREE_SPACE_MARGIN + 20'000'000); // room for the preflight's margin
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    // Grain at a high rate: megabytes of video to write, long enough that the helper is still
    // encoding when the first progress line reaches us and the disk fills up.
    const auto source = disk.path() / "grain.mov", output = disk.path() / "grain_universal.mov";
    ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=8,noise=alls=40:allf=t -b:v 3M " + X264 +
           sh(source));
    auto r = tg::bakeVideo(source, [&](tg::ProgressPhase, double) { disk.fill(64 * 1024); });
    EXPECT_EQ(r.message, "Re-encode failed: " + tg::errorText(ENOSPC));
    EXPECT_FALSE(fs::exists(output));
    // Now the preflight stops the next run with its own message, before anything is written.
    EXPECT_EQ(tg::writeBlocker(source, tg::fileSizeOf(source))->message,
              tg::bakeVideo(source).message);
    EXPECT_FALSE(fs::exists(output));
}

// Numbers, not looks: a chart of known Display P3 colours baked to BT.709 lands where the
// primaries' matrix puts it (linear light, a D65 white, the BT.709 transfer both ways).
const std::array<std::array<double, 3>, 3> P3_TO_BT709 = {
    {{1.224940, -0.224940, 0.0}, {-0.042057, 1.042057, 0.0}, {-0.019638, -0.078636, 1.098274}}};

double toLinear(double code) {
    return code < 0.081 ? code / 4.5 : std::pow((code + 0.099) / 1.099, 1 / 0.45);
}
double toCode(double linear) {
    linear = std::clamp(linear, 0.0, 1.0);
    return linear < 0.018 ? 4.5 * linear : 1.099 * std::pow(linear, 0.45) - 0.099;
}

// Greys, primaries, secondaries, skin tones and everyday colours, as Display P3 code values: an
// 8 x 3 chart.
const Bytes CHART = {
    0,   0,  0,  64,  64,  64,  128, 128, 128, 192, 192, 192, 255, 255, 255, 32,  32,  32,
    255, 0,  0,  0,   255, 0,   0,   0,   255, 0,   255, 255, 255, 0,   255, 255, 255, 0,
    200, 60, 60, 60,  160, 60,  60,  80,  200, 224, 172, 150, 198, 134, 104, 141, 85,  60,
    94,  58, 44, 240, 200, 180, 150, 120, 100, 90,  130, 110, 80,  120, 180, 230, 120, 80,
};

TEST(BakeColour, DisplayP3ChartLandsOnItsBt709Values) {
    TempDir dir;
    writeBytes(dir / "chart.rgb", CHART);
    // Patches of 32 x 48 pixels, lossless 4:4:4 tagged BT.709. The driver's in-place tag makes the
    // container say Display P3 while the bitstream still says BT.709: the bake must follow it.
    ffmpeg("-f rawvideo -pix_fmt rgb24 -s 8x3 -i " + sh(dir / "chart.rgb") +
           " -vf scale=256:144:flags=neighbor:out_color_matrix=bt709,format=yuv444p -c:v libx264 "
           "-qp 0 -color_primaries bt709 -color_trc bt709 -colorspace bt709 " +
           sh(dir / "chart.mov"));
    const auto r = tg::bakeVideo(dir / "chart.mov");
    ASSERT_EQ(r.outcome, added) << r.message;
    // Back as RGB: the mean of 9 x 9 pixels at each patch's centre.
    ffmpeg("-i " + sh(*r.produced) + " -vf scale=in_color_matrix=bt709,format=gbrp,boxblur=4:1," +
           "scale=8:3:flags=neighbor,format=rgb24 -f rawvideo " + sh(dir / "baked.rgb"));
    const Bytes got = readBytes(dir / "baked.rgb");
    ASSERT_EQ(got.size(), CHART.size());
    for (std::size_t i = 0; i < CHART.size(); i += 3) {
        SCOPED_TRACE("patch " + std::to_string(i / 3));
        for (std::size_t c = 0; c < 3; ++c) {
            double linear = 0;
            for (std::size_t k = 0; k < 3; ++k)
                linear += P3_TO_BT709[c][k] * toLinear(CHART[i + k] / 255.0);
            // Greys stay neutral; out of gamut the converter clips, a little off the line.
            const bool grey = CHART[i] == CHART[i + 1] && CHART[i + 1] == CHART[i + 2];
            const bool inGamut = linear > -1e-4 && linear < 1 + 1e-4;
            const double tolerance = grey ? 1.5 : (inGamut ? 2.5 : 4);
            EXPECT_NEAR(got[i + c], 255 * toCode(linear), tolerance) << "channel " << c;
        }
    }
}

} // namespace
