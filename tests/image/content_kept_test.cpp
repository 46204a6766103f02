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
    const auto r = tg::processImageCore(file);
    EXPECT_EQ(r.message, TAGGED);
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
    // MPF: "MPF\0", then a big-endian TIFF structure: version, number of images, the entries.
    const auto mpf = [&](std::uint32_t secondAt) {
        const auto tag = [](std::uint16_t id, std::uint16_t type, std::uint32_t count, Blob value) {
            return cat({be(id, 2), be(type, 2), be(count), value});
        };
        const std::uint32_t entriesAt = 8 + 2 + 3 * 12 + 4;
        const auto entry = [](std::uint32_t attributes, std::uint32_t size, std::uint32_t at) {
            return cat({be(attributes), be(size), be(at), be(0)});
        };
        return cat({text("MPF"), Blob{0}, text("MM"), Blob{0, 42}, be(8), be(3, 2),
                    tag(0xB000, 7, 4, text("0100")), tag(0xB001, 4, 1, be(2)),
                    tag(0xB002, 7, 32, be(entriesAt)), be(0), entry(0x20030000, 0, 0),
                    entry(0x00010002, std::uint32_t(second.size()), secondAt)});
    };
    const std::size_t app2 = jpegSegment(0xE2, mpf(0)).size();
    const std::uint32_t tiffAt = 2 + 4 + 4; // SOI, marker and length, "MPF\0"
    const std::uint32_t secondAt = std::uint32_t(jpeg.size() + app2) - tiffAt;
    return cat({Blob{0xFF, 0xD8}, jpegSegment(0xE2, mpf(secondAt)),
                Blob(jpeg.begin() + 2, jpeg.end()), second});
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
