// The hand-written JPEG marker walk, PNG chunk walk and EXIF orientation, on bytes built here.
#include "image/markers.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

namespace m = tg::markers;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::initializer_list<int> list) {
    Bytes b;
    for (int v : list)
        b.push_back(std::uint8_t(v));
    return b;
}
void add(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}
void addText(Bytes& to, std::string_view text) {
    to.insert(to.end(), text.begin(), text.end());
}

Bytes segment(std::uint8_t marker, const Bytes& body) {
    Bytes s = {0xFF, marker, std::uint8_t((body.size() + 2) >> 8), std::uint8_t(body.size() + 2)};
    add(s, body);
    return s;
}
Bytes textBody(std::string_view text, const Bytes& rest = {}) {
    Bytes b(text.begin(), text.end());
    add(b, rest);
    return b;
}

TEST(ExifOrientation, ReadsBothByteOrdersAndRoundTrips) {
    for (bool bigEndian : {false, true})
        for (std::uint16_t v = 1; v <= 8; ++v) {
            const auto tiff = m::orientationExif(v, bigEndian);
            const auto got = m::exifOrientation(tiff);
            ASSERT_TRUE(got);
            EXPECT_EQ(got->value, v);
            EXPECT_EQ(got->bigEndian, bigEndian);
        }
    auto tiff = m::orientationExif(6, false);
    tiff[16] = 9; // out of range
    EXPECT_FALSE(m::exifOrientation(tiff));
    tiff = m::orientationExif(6, true);
    tiff[7] = 0xF0; // IFD offset past the end
    EXPECT_FALSE(m::exifOrientation(tiff));
    tiff = m::orientationExif(6, false);
    tiff[8] = 0xFF; // 255 entries claimed, one present
    EXPECT_EQ(m::exifOrientation(tiff)->value, 6);
    EXPECT_FALSE(m::exifOrientation(Bytes{'I', 'I', 42, 0}));
}

// SOI, JFIF, EXIF, a COM, DQT, SOF0, SOS + scan data with stuffing and RST, EOI, trailing image.
struct Jpeg {
    Bytes file;
    Bytes scan;
    Jpeg() {
        file = {0xFF, 0xD8};
        add(file,
            segment(0xE0, textBody(std::string_view("JFIF\0", 5), {1, 1, 0, 0, 1, 0, 1, 0, 0})));
        Bytes exif = textBody(std::string_view("Exif\0\0", 6), m::orientationExif(3, true));
        add(file, segment(0xE1, exif));
        add(file, {0xFF, 0xFF}); // fill bytes before a marker
        add(file, segment(0xFE, textBody("secret")));
        add(file, segment(0xDB, Bytes(65, 1)));
        add(file, segment(0xC0, {8, 0, 2, 0, 2, 3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0}));
        add(file, segment(0xEE, textBody("Adobe", {0, 100, 0, 0, 0, 0, 1})));
        add(file, segment(0xDA, {3, 1, 0, 2, 0x11, 3, 0x11, 0, 63, 0}));
        scan = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xFF, 0xD1, 0x78};
        add(file, scan);
        add(file, {0xFF, 0xD9});
        add(file, {0xFF, 0xD8, 0xFF, 0xE0, 0xAA}); // a secondary image after EOI
    }
};

std::size_t countMarker(const m::JpegLayout& layout, std::uint8_t marker) {
    std::size_t n = 0;
    for (const auto& s : layout.segments)
        n += s.marker == marker;
    return n;
}

TEST(JpegMarkers, WalkFindsScanEndAndMetadata) {
    const Jpeg j;
    const auto layout = m::walkJpeg(j.file);
    ASSERT_TRUE(layout);
    EXPECT_TRUE(layout->hasEoi);
    EXPECT_EQ(layout->segments.back().marker, 0xD9);
    EXPECT_EQ(layout->segments.back().end, j.file.size() - 5);
    EXPECT_EQ(countMarker(*layout, 0xDA), 1u);
    EXPECT_EQ(countMarker(*layout, 0xD0), 0u); // restart markers belong to the scan
    const auto meta = m::jpegMeta(j.file, *layout);
    ASSERT_TRUE(meta.orientation);
    EXPECT_EQ(meta.orientation->value, 3);
    EXPECT_TRUE(meta.orientation->bigEndian);
    EXPECT_FALSE(meta.icc);
}

TEST(JpegMarkers, TaggedKeepsTablesAndScanDropsTheRest) {
    const Jpeg j;
    const auto layout = m::walkJpeg(j.file);
    ASSERT_TRUE(layout);
    // A profile bigger than one segment holds, to exercise the chunking.
    Bytes icc(70000);
    for (std::size_t i = 0; i < icc.size(); ++i)
        icc[i] = std::uint8_t(i * 31);
    const auto out = m::taggedJpeg(j.file, *layout, icc, m::ExifOrientation{3, true});
    ASSERT_TRUE(out);

    const auto again = m::walkJpeg(*out);
    ASSERT_TRUE(again);
    const auto meta = m::jpegMeta(*out, *again);
    ASSERT_TRUE(meta.icc);
    EXPECT_EQ(*meta.icc, icc);
    EXPECT_EQ(meta.orientation->value, 3);
    EXPECT_EQ(countMarker(*again, 0xE2), 2u);
    EXPECT_EQ(countMarker(*again, 0xFE), 0u);
    EXPECT_EQ(countMarker(*again, 0xEE), 1u);
    EXPECT_EQ(again->segments[1].marker, 0xE0); // JFIF stays first
    EXPECT_EQ(out->back(), 0xD9);               // nothing after EOI
    const std::string text(out->begin(), out->end());
    EXPECT_EQ(text.find("secret"), std::string::npos);
    EXPECT_NE(text.find(std::string(j.scan.begin(), j.scan.end())), std::string::npos);
}

TEST(JpegMarkers, ProfileChunksMustBeCompleteAndConsistent) {
    Bytes file = {0xFF, 0xD8};
    const auto iccSegment = [](int seq, int count, const Bytes& data) {
        Bytes body = textBody(std::string_view("ICC_PROFILE\0", 12),
                              {std::uint8_t(seq), std::uint8_t(count)});
        add(body, data);
        return segment(0xE2, body);
    };
    add(file, iccSegment(2, 2, {3, 4}));
    add(file, iccSegment(1, 2, {1, 2}));
    add(file, segment(0xC0, {8, 0, 1, 0, 1, 3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0}));
    add(file, segment(0xDA, {3, 1, 0, 2, 0x11, 3, 0x11, 0, 63, 0}));
    add(file, {0x00, 0xFF, 0xD9});
    auto layout = m::walkJpeg(file);
    ASSERT_TRUE(layout);
    EXPECT_EQ(*m::jpegMeta(file, *layout).icc, bytes({1, 2, 3, 4})); // put back in order

    Bytes missing = {0xFF, 0xD8};
    add(missing, iccSegment(1, 2, {1, 2}));
    missing.insert(missing.end(), file.begin() + 2 + 2 * 20, file.end());
    layout = m::walkJpeg(missing);
    ASSERT_TRUE(layout);
    EXPECT_FALSE(m::jpegMeta(missing, *layout).icc);
}

TEST(JpegMarkers, BrokenStructureIsRefused) {
    const Jpeg j;
    EXPECT_FALSE(m::walkJpeg(Bytes{0xFF, 0xD8, 0xFF}));
    EXPECT_FALSE(m::walkJpeg(Bytes(j.file.begin(), j.file.begin() + 40))); // cut in a segment
    Bytes noFrame = {0xFF, 0xD8};
    add(noFrame, segment(0xDA, {1, 1, 0}));
    add(noFrame, {0xFF, 0xD9});
    EXPECT_FALSE(m::walkJpeg(noFrame));
    Bytes badLength = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01, 0xFF, 0xD9};
    EXPECT_FALSE(m::walkJpeg(badLength));
    // Without EOI the scan runs to the end of the file and is kept as it is.
    Bytes noEoi(j.file.begin(), j.file.end() - 7);
    const auto layout = m::walkJpeg(noEoi);
    ASSERT_TRUE(layout);
    EXPECT_FALSE(layout->hasEoi);
    EXPECT_EQ(layout->segments.back().end, noEoi.size());
}

Bytes chunk(std::string_view type, const Bytes& data) {
    Bytes c = {std::uint8_t(data.size() >> 24), std::uint8_t(data.size() >> 16),
               std::uint8_t(data.size() >> 8), std::uint8_t(data.size())};
    c.reserve(12 + data.size()); // also keeps g++ 12's -Warray-bounds from a false alarm
    addText(c, type);
    add(c, data);
    const auto crc = std::uint32_t(::crc32(0, c.data() + 4, unsigned(data.size() + 4)));
    for (int s = 24; s >= 0; s -= 8)
        c.push_back(std::uint8_t(crc >> s));
    return c;
}

Bytes pngWith(const std::vector<Bytes>& chunks) {
    Bytes f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    add(f, chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0}));
    for (const auto& c : chunks)
        add(f, c);
    add(f, chunk("IEND", {}));
    return f;
}

TEST(PngChunks, TaggedKeepsPixelChunksAndDropsMetadata) {
    Bytes zprofile(128);
    uLongf zsize = zprofile.size();
    const Bytes oldProfile(40, 7);
    ASSERT_EQ(compress2(zprofile.data(), &zsize, oldProfile.data(), oldProfile.size(), 9), Z_OK);
    zprofile.resize(zsize);
    Bytes iccp = textBody(std::string_view("old\0\0", 5), zprofile);
    const Bytes idat = {0x78, 0x9C, 1, 2, 3};
    const auto file =
        pngWith({chunk("gAMA", {0, 1, 0x86, 0xA0}), chunk("iCCP", iccp), chunk("sBIT", {8, 8, 8}),
                 chunk("tEXt", textBody("k\0v")), chunk("eXIf", m::orientationExif(8, false)),
                 chunk("pHYs", Bytes(9, 1)), chunk("IDAT", idat), chunk("zzZz", {1}),
                 chunk("tIME", Bytes(7, 1))});
    const auto chunks = m::walkPng(file);
    ASSERT_TRUE(chunks);
    const auto meta = m::pngMeta(file, *chunks);
    EXPECT_EQ(meta.icc, oldProfile);
    EXPECT_EQ(meta.orientation->value, 8);

    const Bytes icc(300, 5);
    const auto out = m::taggedPng(file, *chunks, icc, meta.orientation);
    ASSERT_TRUE(out);
    const auto outChunks = m::walkPng(*out);
    ASSERT_TRUE(outChunks);
    std::string types;
    for (const auto& c : *outChunks)
        types += std::string(c.type.begin(), c.type.end()) + " ";
    EXPECT_EQ(types, "IHDR iCCP eXIf sBIT pHYs IDAT IEND ");
    const auto outMeta = m::pngMeta(*out, *outChunks);
    EXPECT_EQ(outMeta.icc, icc);
    EXPECT_EQ(outMeta.orientation->value, 8);
    const std::string text(out->begin(), out->end());
    EXPECT_NE(text.find("Display P3"), std::string::npos);
    EXPECT_NE(text.find(std::string(idat.begin(), idat.end())), std::string::npos);
}

TEST(PngChunks, DamageIsRefused) {
    const auto good = pngWith({chunk("IDAT", {1, 2, 3})});
    ASSERT_TRUE(m::walkPng(good));
    auto badCrc = good;
    badCrc[badCrc.size() - 16] ^= 1;
    EXPECT_FALSE(m::walkPng(badCrc));
    EXPECT_FALSE(m::walkPng(Bytes(good.begin(), good.end() - 12))); // no IEND
    EXPECT_FALSE(m::walkPng(Bytes(good.begin(), good.end() - 3)));  // cut CRC
    auto hugeLength = good;
    hugeLength[33] = 0xFF; // the IDAT length
    EXPECT_FALSE(m::walkPng(hugeLength));
    // An unknown critical chunk cannot be dropped, nor copied as something we understand.
    const auto critical = pngWith({chunk("ZZZZ", {1}), chunk("IDAT", {1})});
    const auto chunks = m::walkPng(critical);
    ASSERT_TRUE(chunks);
    EXPECT_FALSE(m::taggedPng(critical, *chunks, Bytes(10, 1), std::nullopt));
    // A profile that does not inflate is no profile.
    const auto badIccp =
        pngWith({chunk("iCCP", textBody(std::string_view("x\0\0", 3), {1, 2, 3}))});
    EXPECT_FALSE(m::pngMeta(badIccp, *m::walkPng(badIccp)).icc);
}

} // namespace
