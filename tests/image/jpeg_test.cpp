// JPEGs that no 8-bit decoder reads: 12-bit ones (an 8-bit file's Huffman scan read at 12 bits
// is a valid extended-sequential one) and arithmetic-coded ones from jpegtran. They are tagged
// from their frame header alone; ffmpeg and djpeg decode them before and after as the oracle.
#include "image/image_fixtures.h"
#include "image/image_tagger.h"
#include "image/jpeg_markers.h"

#include <gtest/gtest.h>

namespace {

using namespace imgtest;
using Bytes = std::vector<std::uint8_t>;

// Where the frame header (SOF0 or SOF1) starts.
std::size_t sofAt(const Bytes& f) {
    for (std::size_t i = 0; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && (f[i + 1] == 0xC0 || f[i + 1] == 0xC1)) return i;
    ADD_FAILURE() << "no frame header";
    return 0;
}

// A 12-bit extended-sequential (SOF1) JPEG: the tables and scan of an 8-bit one stay valid.
Bytes twelveBit(const fs::path& file, const std::string& options) {
    makeImage(file, "-quality 90 -sampling-factor 1x1 " + options);
    Bytes f = readBytes(file);
    const std::size_t sof = sofAt(f);
    f[sof + 1] = 0xC1;
    f[sof + 4] = 12;
    writeBytes(file, f);
    return f;
}

std::string ffmpegPixels(const fs::path& file) {
    return run("ffmpeg -nostdin -v error -i " + sh(file) + " -f framemd5 -").out;
}
std::string djpegPixels(const fs::path& file) {
    return run("djpeg -ppm " + sh(file) + " | md5sum").out;
}

TEST(JpegFrames, AnyCodingProcessIsTaggedWithThePixelsKeptOrRefusedWhenNotRgb) {
    struct Case {
        const char* name;
        std::string (*pixels)(const fs::path&);
        void (*make)(const fs::path&);
        const char* refusal = nullptr; // the message when it is not tagged
    };
    const Case cases[] = {
        {"twelve.jpg", ffmpegPixels, [](const fs::path& f) { twelveBit(f, ""); }},
        {"twelve_grey.jpg", ffmpegPixels,
         [](const fs::path& f) { twelveBit(f, "-colorspace Gray -type Grayscale"); },
         "Couldn't tag image"},
        {"twelve_cmyk.jpg", nullptr, [](const fs::path& f) { twelveBit(f, "-colorspace CMYK"); },
         "Couldn't tag image"},
        {"arithmetic.jpg", djpegPixels,
         [](const fs::path& f) {
             makeImage(f.string() + ".src.jpg", "-quality 90");
             command("jpegtran -arithmetic -outfile " + sh(f) + " " + sh(f.string() + ".src.jpg"));
             addCameraMetadata(f, "-Orientation#=6");
         }},
        {"arithmetic_progressive.jpg", djpegPixels,
         [](const fs::path& f) {
             makeImage(f.string() + ".src.jpg", "-quality 90");
             command("jpegtran -arithmetic -progressive -outfile " + sh(f) + " " +
                     sh(f.string() + ".src.jpg"));
         }},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir / c.name;
        c.make(file);
        const std::string before = c.pixels ? c.pixels(file) : "";
        if (c.pixels) {
            ASSERT_FALSE(before.empty());
        }
        const auto bytes = readBytes(file);
        const auto orientation = exif(file, "-Orientation").value("Orientation", 0);
        EXPECT_EQ(tg::processImageCore(file).message, c.refusal ? c.refusal : TAGGED);
        if (c.refusal) {
            EXPECT_EQ(readBytes(file), bytes);
            continue;
        }
        EXPECT_EQ(c.pixels(file), before);
        const auto meta = exif(file);
        EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3");
        EXPECT_EQ(meta.value("Orientation", 0), orientation);
        EXPECT_FALSE(meta.contains("Make"));
    }
}

// The frame header alone decides; impossible ones are refused.
TEST(JpegFrames, FrameHeaderIsChecked) {
    struct Case {
        const char* name;
        std::uint8_t marker;
        std::uint8_t precision;
        std::uint8_t sampling = 0x11;
        bool ok = true;
    };
    const Case cases[] = {
        {"baseline", 0xC0, 8},
        {"progressive 12", 0xC2, 12},
        {"lossless 16", 0xC3, 16},
        {"arithmetic 12", 0xC9, 12},
        {"arithmetic lossless 7", 0xCB, 7},
        {"dct at 16 bits", 0xC1, 16, 0x11, false},
        {"lossless at 1 bit", 0xC3, 1, 0x11, false},
        {"sampling 5", 0xC0, 8, 0x51, false},
        {"sampling 0", 0xC0, 8, 0x10, false},
    };
    TempDir dir;
    const Bytes source = twelveBit(dir / "source.jpg", "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f = source;
        const std::size_t sof = sofAt(f);
        f[sof + 1] = c.marker;
        f[sof + 4] = c.precision;
        f[sof + 11] = c.sampling;
        const auto layout = tg::walkJpeg(f);
        ASSERT_TRUE(layout);
        const auto frame = tg::jpegFrame(f, *layout);
        EXPECT_EQ(frame.has_value(), c.ok);
        if (frame) {
            EXPECT_EQ(frame->components.size(), 3u);
        }
    }
}

} // namespace
