// The hand-written JPEG marker walk and PNG chunk walk, on bytes built here; the fuzzer drives
// them with everything else, and the tagging tests check the orientation with exiftool.
#include "image/image_fixtures.h"
#include "image/jpeg_markers.h"
#include "image/png_chunks.h"

#include <gtest/gtest.h>

namespace {

namespace m = tg;
using Bytes = std::vector<std::uint8_t>;

using namespace imgtest;
std::size_t count(const m::JpegLayout& layout, std::uint8_t marker) {
    return std::size_t(std::count_if(layout.segments.begin(), layout.segments.end(),
                                     [&](const auto& s) { return s.marker == marker; }));
}

// A frame header of three components, 2x2 pixels; `sampling` is the first component's.
Bytes sof(std::uint8_t marker, std::uint8_t precision, std::uint8_t sampling) {
    return jpegSegment(marker, {precision, 0, 2, 0, 2, 3, 1, sampling, 0, 2, 0x11, 0, 3, 0x11, 0});
}

// A progressive JPEG: JFIF, EXIF, a comment, tables, SOF2, two scans (with byte stuffing and a
// restart marker), EOI, then a second image as gain maps and MPF images are stored.
const Bytes SCAN = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56};
const Bytes TRAILER = {0xFF, 0xD8, 0xFF, 0xE0, 0xAA};
const Bytes SOS = jpegSegment(0xDA, {3, 1, 0, 2, 0x11, 3, 0x11, 0, 63, 0});
const Bytes PROGRESSIVE =
    cat({{0xFF, 0xD8},
         jpegSegment(0xE0, cat({text({"JFIF\0", 5}), {1, 1, 0, 0, 1, 0, 1, 0, 0}})),
         jpegSegment(0xE1, cat({text({"Exif\0\0", 6}), m::orientationExif(3, true)})),
         jpegSegment(0xFE, text("secret")),
         jpegSegment(0xDB, Bytes(65, 1)),
         sof(0xC2, 8, 0x11),
         jpegSegment(0xC4, Bytes(20, 0)),
         SOS,
         SCAN,
         SOS,
         {0x78, 0x9A},
         {0xFF, 0xD9},
         TRAILER});

TEST(JpegMarkers, TaggedKeepsTablesAndScansAndDropsTheRest) {
    const auto layout = m::walkJpeg(PROGRESSIVE);
    ASSERT_TRUE(layout);
    Bytes icc(70000); // more than one segment holds
    for (std::size_t i = 0; i < icc.size(); ++i)
        icc[i] = std::uint8_t(i * 31);
    const auto out = m::taggedJpeg(PROGRESSIVE, *layout, icc, m::ExifOrientation{3, true});
    ASSERT_TRUE(out);
    const auto again = m::walkJpeg(*out);
    ASSERT_TRUE(again);
    const auto meta = m::jpegMeta(*out, *again);
    EXPECT_EQ(meta.icc, icc);
    EXPECT_EQ(meta.orientation->value, 3);
    EXPECT_EQ(count(*again, 0xE2), 2u);
    EXPECT_EQ(count(*again, 0xFE), 0u);
    EXPECT_EQ(count(*again, 0xDA), 2u);
    EXPECT_EQ(again->segments[1].marker, 0xE0);                        // JFIF stays first
    EXPECT_EQ(Bytes(out->end() - 2, out->end()), Bytes({0xFF, 0xD9})); // nothing after EOI
    const std::string bytes(out->begin(), out->end());
    EXPECT_EQ(bytes.find("secret"), std::string::npos);
    EXPECT_NE(bytes.find(std::string(SCAN.begin(), SCAN.end())), std::string::npos);
}

// The frame header alone decides; impossible ones are refused.
TEST(JpegMarkers, FrameHeaderIsChecked) {
    struct Case {
        const char* name;
        std::uint8_t marker;
        std::uint8_t precision;
        std::uint8_t sampling = 0x11;
        bool ok = true;
    };
    const Case cases[] = {
        {"baseline", 0xC0, 8},
        {"extended 12", 0xC1, 12},
        {"progressive 12", 0xC2, 12},
        {"lossless 16", 0xC3, 16},
        {"arithmetic 12", 0xC9, 12},
        {"arithmetic lossless 7", 0xCB, 7},
        {"dct at 16 bits", 0xC1, 16, 0x11, false},
        {"lossless at 1 bit", 0xC3, 1, 0x11, false},
        {"sampling 5", 0xC0, 8, 0x51, false},
        {"sampling 0", 0xC0, 8, 0x10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto f =
            cat({{0xFF, 0xD8}, sof(c.marker, c.precision, c.sampling), SOS, SCAN, {0xFF, 0xD9}});
        const auto layout = m::walkJpeg(f);
        ASSERT_TRUE(layout);
        const auto frame = m::jpegFrame(f, *layout);
        ASSERT_EQ(frame.has_value(), c.ok);
        EXPECT_TRUE(!frame || frame->components.size() == 3);
    }
}

Bytes png(std::initializer_list<Bytes> chunks) {
    return cat({{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'},
                pngChunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0}),
                cat(chunks),
                pngChunk("IEND", {})});
}

TEST(PngChunks, TaggedKeepsPixelChunksAndDropsMetadata) {
    const Bytes idat = {0x78, 0x9C, 1, 2, 3};
    const auto file =
        png({pngChunk("gAMA", {0, 1, 0x86, 0xA0}), pngChunk("sBIT", {8, 8, 8}),
             pngChunk("tEXt", text({"k\0v", 3})), pngChunk("eXIf", m::orientationExif(8, false)),
             pngChunk("IDAT", idat), pngChunk("zzZz", {1}), pngChunk("tIME", Bytes(7, 1))});
    const auto chunks = m::walkPng(file);
    ASSERT_TRUE(chunks);
    const auto meta = m::pngMeta(file, *chunks);
    EXPECT_FALSE(meta.icc);
    EXPECT_EQ(meta.orientation->value, 8);

    const Bytes icc(300, 5);
    const auto out = m::taggedPng(file, *chunks, icc, meta.orientation);
    ASSERT_TRUE(out);
    const auto outChunks = m::walkPng(*out);
    ASSERT_TRUE(outChunks);
    std::string types;
    for (const auto& c : *outChunks)
        types += std::string(c.type.begin(), c.type.end()) + " ";
    EXPECT_EQ(types, "IHDR iCCP eXIf sBIT IDAT IEND ");
    const auto outMeta = m::pngMeta(*out, *outChunks);
    EXPECT_EQ(outMeta.icc, icc);
    EXPECT_EQ(outMeta.orientation->value, 8);
    EXPECT_NE(std::string(out->begin(), out->end()).find(std::string(idat.begin(), idat.end())),
              std::string::npos);
}

} // namespace
