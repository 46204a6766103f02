// What a photo holds beyond its first picture is kept, or the photo is refused with the reason:
// never dropped or mislabelled without a word.
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>

namespace {

using namespace imgtest;

TEST(ContentKept, AnAnimatedPngKeepsEveryFrame) {
    TempDir dir;
    const auto file = dir / "animated.png";
    ffmpeg("-f lavfi -i testsrc2=s=64x48:d=1:r=10 -plays 0 -f apng " + sh(file));
    const auto frames = frameHashes(file);
    ASSERT_EQ(std::count(frames.begin(), frames.end(), '\n'), 10);
    EXPECT_EQ(tg::processImageCore(file).message, TAGGED);
    EXPECT_EQ(exif(file).value("ProfileDescription", ""), "Display P3");
    EXPECT_EQ(frameHashes(file), frames);
}

// cICP outranks any profile; codes that say HDR are refused, not re-labelled SDR.
TEST(ContentKept, APngWhoseCodesSayHdrIsRefusedWithTheReason) {
    const struct {
        std::uint8_t primaries, transfer;
        const char* reason;
    } rows[] = {{9, 16, "HDR: PQ transfer (16)"},
                {9, 18, "HDR: HLG transfer (18)"},
                {9, 1, "HDR: BT.2020 primaries (9)"}};
    TempDir dir;
    for (const auto& row : rows) {
        const auto file =
            placed("photo.png", dir.path(), "hdr" + std::to_string(row.transfer) + ".png");
        Blob bytes = readBytes(file);
        const Blob cicp = pngChunk("cICP", {row.primaries, row.transfer, 0, 1});
        bytes.insert(bytes.begin() + 33, cicp.begin(), cicp.end()); // after the signature and IHDR
        writeBytes(file, bytes);
        const auto r = tg::processImageCore(file);
        EXPECT_EQ(r.message, "Couldn't tag image") << row.reason;
        EXPECT_EQ(r.detail.value_or(""), row.reason);
        EXPECT_EQ(readBytes(file), bytes);
    }
}

// A primary picture with an MPF index (as cameras and phones write it) naming a second picture
// appended after it; `secondMetadata` is a segment put into that second picture.
Blob withSecondPicture(const Blob& jpeg, const Blob& secondMetadata) {
    const Blob second = cat({Blob{0xFF, 0xD8}, secondMetadata, Blob(jpeg.begin() + 2, jpeg.end())});
    // "MPF\0", then big-endian TIFF: version, number of images, and the two entries at 50.
    const auto mpf = [&](std::size_t secondAt) {
        return jpegSegment(
            0xE2, cat({text({"MPF\0MM", 6}), fields("2:42 4:8 2:3 2:0xB000 2:7 4:4"), text("0100"),
                       fields("2:0xB001 2:4 4:1 4:2 2:0xB002 2:7 4:32 4:50 4:0"),
                       fields("4:0x20030000 4:0 4:0 4:0 4:0x00010002"), be(second.size()),
                       be(secondAt), be(0)}));
    };
    // Offsets count from the TIFF header: after SOI, the marker and length, and "MPF\0".
    const std::size_t secondAt = jpeg.size() + mpf(0).size() - 10;
    return cat({Blob{0xFF, 0xD8}, mpf(secondAt), Blob(jpeg.begin() + 2, jpeg.end()), second});
}

TEST(ContentKept, AJpegWithAnHdrGainMapIsRefusedAndAPreviewIsNot) {
    const Blob xmp = jpegSegment(
        0xE1, cat({text("http://ns.adobe.com/xap/1.0/"), Blob{0},
                   text("<x:xmpmeta xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" "
                        "hdrgm:Version=\"1.0\"/>")}));
    const Blob iso =
        jpegSegment(0xE2, cat({text("urn:iso:std:iso:ts:21496:-1"), Blob{0, 0, 0, 0, 0}}));
    const struct {
        const char* name;
        Blob secondMetadata;
        bool gainMap;
    } rows[] = {{"xmp", xmp, true}, {"iso", iso, true}, {"preview", {}, false}};
    TempDir dir;
    for (const auto& row : rows) {
        const auto file = dir / (std::string(row.name) + ".jpg");
        writeBytes(file, withSecondPicture(readBytes(clip("photo.jpg")), row.secondMetadata));
        ASSERT_EQ(exif(file, "-NumberOfImages").value("NumberOfImages", 0), 2) << row.name;
        const auto before = readBytes(file);
        const auto r = tg::processImageCore(file);
        if (row.gainMap) {
            EXPECT_EQ(r.message, "Couldn't tag image") << row.name;
            EXPECT_EQ(r.detail.value_or(""), "HDR: a gain map");
            EXPECT_EQ(readBytes(file), before);
        } else {
            EXPECT_EQ(r.message, TAGGED) << row.name;
        }
    }
}

} // namespace
