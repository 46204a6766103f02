// WebP photos made at test time with libwebp's own tools, which read the results back too: dwebp
// decodes every frame, webpinfo checks the structure and flags; exiftool reads the profile. The
// chunk walk's limits are met on bytes built here.
#include "image/image_fixtures.h"
#include "image/image_tagger.h"
#include "image/webp_chunks.h"

#include <gtest/gtest.h>

namespace {

using namespace imgtest;

// Every frame decoded to PAM (RGBA), one after the other.
std::string framePixels(const fs::path& f) {
    return run("n=$(webpmux -info " + sh(f) + " | sed -n 's/^Number of frames: //p'); for i in " +
               "$(seq ${n:-1}); do if [ -n \"$n\" ]; then webpmux -get frame $i " + sh(f) +
               " -o - 2>/dev/null; else cat " + sh(f) + "; fi | dwebp -quiet -pam -o - -- -; done")
        .out;
}

struct Source {
    const char* file;
    const char* make; // run in the test's folder: src.png, alpha.png and icc files are there
    int orientation = 0;
    const char* message = nullptr; // the result when the file is left as it is, and why
    const char* why = nullptr;
    void (*damage)(Blob&) = nullptr;
};

class WebpTagging : public testing::TestWithParam<Source> {};

TEST_P(WebpTagging, LabelsDisplayP3KeepingEveryFrameOrLeavesTheFile) {
    if (run("for t in cwebp img2webp webpmux dwebp webpinfo; do command -v $t || exit 1; done")
            .status != 0)
        GTEST_SKIP() << "libwebp's tools (the webp package) are not installed";
    const Source& s = GetParam();
    TempDir dir;
    makeImage(dir / "src.png", "");
    makeImage(dir / "alpha.png", "-alpha set -channel A -evaluate set 50% +channel", "PNG32:");
    writeBytes(dir / "srgb.icc", makeProfile({.red = {0.64, 0.33}, .green = {0.30, 0.60}}));
    writeBytes(dir / "p3.icc", makeProfile({}));
    command("cd " + sh(dir.path()) + " && OUT=" + s.file + " && " + s.make);
    const auto file = dir / s.file;
    Blob bytes = readBytes(file);
    if (s.damage) {
        s.damage(bytes);
        writeBytes(file, bytes);
    }
    const std::string before = s.message ? "" : framePixels(file);
    const auto r = tg::processImageCore(file);
    EXPECT_EQ(r.message, s.message ? s.message : TAGGED);
    EXPECT_TRUE(leftovers(dir.path()).empty());
    if (s.message) {
        EXPECT_EQ(r.detail.value_or(""), s.why ? s.why : "");
        EXPECT_EQ(readBytes(file), bytes);
        return;
    }
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(framePixels(file), before);
    EXPECT_EQ(run("webpinfo -quiet " + sh(file)).status, 0) << run("webpinfo " + sh(file)).out;
    const auto meta = exif(file);
    EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3");
    EXPECT_EQ(meta.value("Orientation", 0), s.orientation);
    for (const char* gone : {"Make", "Title"})
        EXPECT_FALSE(meta.contains(gone)) << gone << " survived";
}

const char* const CANT_READ = "Can't read image";
const char* const LOSSY = "cwebp -quiet -q 80 src.png -o $OUT";
const char* const ALPHA = "cwebp -quiet -q 80 alpha.png -o $OUT"; // VP8X and ALPH
INSTANTIATE_TEST_SUITE_P(
    Shapes, WebpTagging,
    testing::Values(
        Source{"lossless.webp", "cwebp -quiet -lossless alpha.png -o $OUT"}, // alpha in VP8L
        Source{"animated.webp", "img2webp -loop 0 -lossless src.png -lossy alpha.png -o $OUT"},
        Source{"camera.webp",
               "cwebp -quiet src.png -o $OUT && exiftool -q -q -overwrite_original -Make=Canon "
               "-Orientation#=6 -XMP:Title=Secret $OUT",
               6},
        Source{"srgb.webp", "cwebp -quiet alpha.png -o a.webp && webpmux -set icc srgb.icc "
                            "a.webp -o $OUT"},
        Source{"p3.webp",
               "cwebp -quiet src.png -o a.webp && webpmux -set icc p3.icc a.webp -o $OUT", 0,
               "Already Display-P3"},
        // Sizes that lie, a VP8X that does not fit its picture, a picture no decoder can start.
        Source{"cut.webp", LOSSY, 0, CANT_READ, "WebP cut short",
               [](Blob& b) { b.resize(b.size() - 7); }},
        Source{"trailing.webp", LOSSY, 0, CANT_READ, "data after the end of the WebP",
               [](Blob& b) { b.resize(b.size() + 2); }},
        Source{"lying.webp", LOSSY, 0, CANT_READ, "a WebP chunk runs past the end of the file",
               [](Blob& b) { ++b[18]; }},
        Source{"short_vp8x.webp", ALPHA, 0, CANT_READ, "damaged VP8X chunk",
               [](Blob& b) { b[16] = 9; }},
        Source{"canvas.webp", ALPHA, 0, CANT_READ, "WebP picture and canvas sizes differ",
               [](Blob& b) { ++b[24]; }},
        Source{"mutated.webp", "cwebp -quiet -lossless src.png -o $OUT", 0, CANT_READ,
               "no readable picture in the WebP", [](Blob& b) { b[20] = 0; }}),
    [](const auto& info) { return rowName(info.param.file); });

Blob le32(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
Blob riff(const Blob& chunks) {
    return cat({text("RIFF"), le32(std::uint32_t(chunks.size() + 4)), text("WEBP"), chunks});
}
Blob chunk(const std::string& type, const Blob& data, bool pad = true) {
    return cat({text(type), le32(std::uint32_t(data.size())), data,
                pad && data.size() % 2 ? Blob{0} : Blob{}});
}
// A 3x2 lossless picture with alpha: its header alone, an odd 5 bytes.
const Blob VP8L = chunk("VP8L", {0x2F, 2, 0x40, 0, 0x10});
const Blob VP8X_3x2 = chunk("VP8X", {0x1C, 0, 0, 0, 2, 0, 0, 1, 0, 0}); // alpha, EXIF, XMP

// The new VP8X has the picture's alpha, ICC and, for the orientation, EXIF; the old one's EXIF and
// XMP flags go with their chunks; odd chunks are padded, a missing last pad included; unknown
// chunks go.
TEST(WebpChunks, ChunksArePaddedAndFlaggedAndTheRestGoes) {
    const Blob icc = {1, 2, 3, 4, 5};
    const Blob tagged =
        riff(cat({chunk("VP8X", {0x38, 0, 0, 0, 2, 0, 0, 1, 0, 0}), chunk("ICCP", icc), VP8L,
                  chunk("EXIF", tg::orientationExif(8, true))}));
    for (const Blob& file : {riff(cat({VP8L, chunk("XYZW", {1, 2, 3}, false)})),
                             riff(cat({VP8X_3x2, chunk("XMP ", {1}), VP8L}))}) {
        const auto layout = tg::walkWebp(file);
        ASSERT_TRUE(layout.ok()) << layout.cause();
        EXPECT_EQ(tg::taggedWebp(file, *layout, icc, tg::ExifOrientation{8, true}), tagged);
    }
}

} // namespace
