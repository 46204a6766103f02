// JPEGs that no 8-bit decoder reads: 12-bit ones written here (Huffman-coded, extended
// sequential) and arithmetic-coded ones from jpegtran. They are tagged from their frame header
// alone; ffmpeg and djpeg decode them before and after as the oracle.
#include "image/image_fixtures.h"
#include "image/image_tagger.h"
#include "image/jpeg_markers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace {

using namespace imgtest;
using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, unsigned v) {
    b.push_back(std::uint8_t(v >> 8));
    b.push_back(std::uint8_t(v));
}
void segment(Bytes& b, std::uint8_t marker, const Bytes& body) {
    b.push_back(0xFF);
    b.push_back(marker);
    put16(b, unsigned(body.size() + 2));
    b.insert(b.end(), body.begin(), body.end());
}

// Entropy-coded bits, with a 0x00 stuffed after every 0xFF and the last byte padded with ones.
class Bits {
public:
    void put(unsigned code, unsigned length) {
        for (unsigned i = length; i-- > 0;) {
            acc_ = acc_ << 1 | ((code >> i) & 1);
            if (++n_ == 8) flush();
        }
    }
    Bytes finish() {
        while (n_ != 0)
            put(1, 1);
        return std::move(out_);
    }

private:
    void flush() {
        out_.push_back(std::uint8_t(acc_));
        if (acc_ == 0xFF) out_.push_back(0);
        acc_ = 0;
        n_ = 0;
    }
    Bytes out_;
    unsigned acc_ = 0, n_ = 0;
};

// Canonical Huffman codes for symbols that all have the same length.
struct Table {
    unsigned length;
    std::vector<std::uint8_t> symbols;
    unsigned code(std::uint8_t s) const {
        return unsigned(std::find(symbols.begin(), symbols.end(), s) - symbols.begin());
    }
    Bytes dht(std::uint8_t classAndId) const {
        Bytes b{classAndId};
        for (unsigned l = 1; l <= 16; ++l)
            b.push_back(l == length ? std::uint8_t(symbols.size()) : 0);
        b.insert(b.end(), symbols.begin(), symbols.end());
        return b;
    }
};

unsigned category(int v) {
    unsigned s = 0;
    for (int a = v < 0 ? -v : v; a; a >>= 1)
        ++s;
    return s;
}
void value(Bits& bits, int v, unsigned s) {
    if (s) bits.put(unsigned(v > 0 ? v : v + (1 << s) - 1), s);
}

// A 16x16 extended-sequential (SOF1) JPEG of the given precision and component count: four MCUs
// of one 8x8 block per component, each with its own DC level and two AC terms, so the decoded
// picture has structure in every channel.
Bytes makeJpeg(unsigned precision, unsigned components) {
    const Table dc{4, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
    const Table ac{3, {0x00, 0x01, 0x02, 0x03, 0x04}};
    Bytes f{0xFF, 0xD8};
    Bytes dqt{std::uint8_t(precision > 8 ? 0x10 : 0x00)};
    for (int i = 0; i < 64; ++i)
        precision > 8 ? put16(dqt, 4) : dqt.push_back(4);
    segment(f, 0xDB, dqt);
    Bytes sof{std::uint8_t(precision)};
    put16(sof, 16);
    put16(sof, 16);
    sof.push_back(std::uint8_t(components));
    for (unsigned c = 1; c <= components; ++c)
        sof.insert(sof.end(), {std::uint8_t(c), 0x11, 0});
    segment(f, 0xC1, sof);
    segment(f, 0xC4, dc.dht(0x00));
    segment(f, 0xC4, ac.dht(0x10));
    Bytes sos{std::uint8_t(components)};
    for (unsigned c = 1; c <= components; ++c)
        sos.insert(sos.end(), {std::uint8_t(c), 0x00});
    sos.insert(sos.end(), {0, 63, 0});
    segment(f, 0xDA, sos);

    const int scale = precision > 8 ? 16 : 1;
    std::array<int, 4> previous{};
    Bits bits;
    for (int mcu = 0; mcu < 4; ++mcu)
        for (unsigned c = 0; c < components; ++c) {
            const int level = ((mcu * 37 + int(c) * 71) % 120 - 60) * scale;
            const int diff = level - previous[c];
            previous[c] = level;
            bits.put(dc.code(std::uint8_t(category(diff))), dc.length);
            value(bits, diff, category(diff));
            for (const int term : {(mcu + 1) * (c % 2 ? 3 : -5), mcu % 2 ? 2 : -1}) {
                const int v = std::clamp(term, -15, 15);
                bits.put(ac.code(std::uint8_t(category(v))), ac.length); // run 0, size
                value(bits, v, category(v));
            }
            bits.put(ac.code(0x00), ac.length); // end of block
        }
    const Bytes scan = bits.finish();
    f.insert(f.end(), scan.begin(), scan.end());
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

std::string ffmpegPixels(const fs::path& file) {
    return run("ffmpeg -nostdin -v error -i " + sh(file) + " -f framemd5 -").out;
}
std::string djpegPixels(const fs::path& file) {
    return run("djpeg -ppm " + sh(file) + " | md5sum").out;
}

TEST(JpegFrames, AnyCodingProcessIsTaggedWithThePixelsKept) {
    struct Case {
        const char* name;
        std::string (*pixels)(const fs::path&);
        void (*make)(const fs::path&);
    };
    const Case cases[] = {
        {"twelve.jpg", ffmpegPixels,
         [](const fs::path& f) { tgtest::writeBytes(f, makeJpeg(12, 3)); }},
        {"eight_sof1.jpg", ffmpegPixels,
         [](const fs::path& f) { tgtest::writeBytes(f, makeJpeg(8, 3)); }},
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
        const std::string before = c.pixels(file);
        ASSERT_FALSE(before.empty());
        const auto orientation = exif(file, "-Orientation").value("Orientation", 0);
        EXPECT_EQ(tg::processImageCore(file).message, TAGGED);
        EXPECT_EQ(c.pixels(file), before);
        const auto meta = exif(file);
        EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3");
        EXPECT_EQ(meta.value("Orientation", 0), orientation);
        EXPECT_FALSE(meta.contains("Make"));
    }
}

TEST(JpegFrames, GreyAndCmykOfAnyPrecisionAreRefused) {
    TempDir dir;
    for (const unsigned components : {1u, 4u}) {
        const auto file = dir / ("twelve" + std::to_string(components) + ".jpg");
        tgtest::writeBytes(file, makeJpeg(12, components));
        if (components == 1) {
            ASSERT_FALSE(ffmpegPixels(file).empty());
        }
        EXPECT_EQ(tg::processImageCore(file).message, "Couldn't tag image");
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f = makeJpeg(12, 3);
        const Bytes sof1 = {0xFF, 0xC1};
        const auto sof =
            std::size_t(std::search(f.begin(), f.end(), sof1.begin(), sof1.end()) - f.begin());
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
