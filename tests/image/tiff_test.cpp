// TIFF tagging, on TIFFs written by ImageMagick and given camera metadata by exiftool at test time.
// exiftool reads labels and metadata back; ImageMagick decodes the pixels of source and result.
#include "fixtures/media.h"
#include "image/display_p3.h"
#include "image/formats.h"
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace tgtest;

void convert(const std::string& args) {
    const auto r = run("convert " + args);
    ASSERT_EQ(r.status, 0) << "convert " << args;
}

// A 64x48 picture with detail in every channel (a seeded plasma is the same on every run).
void makeTiff(const fs::path& file, const std::string& options) {
    convert("-seed 7 -size 64x48 plasma: " + options + " " + sh(file));
}

void addCameraMetadata(const fs::path& file, bool orientation = true) {
    const auto r = run("exiftool -q -q -overwrite_original -Make=Acme -Model=X1 -Artist=Someone "
                       "-Software=Editor -ImageDescription=Holiday -GPSLatitude=51.5 "
                       "-GPSLatitudeRef=N -ExposureTime=0.01 -XMP-dc:Creator=Someone " +
                       std::string(orientation ? "-Orientation#=6 " : "") + sh(file));
    ASSERT_EQ(r.status, 0);
}

nlohmann::json exif(const fs::path& file) {
    const auto r = run("exiftool -j -n " + sh(file));
    const auto j = nlohmann::json::parse(r.out, nullptr, false);
    return j.is_array() && !j.empty() ? j[0] : nlohmann::json::object();
}

// What ImageMagick sees in the first page: geometry, depth, channels, compression and a hash of
// the decoded pixels.
std::string firstPage(const fs::path& file) {
    return run("identify -format '%w %h %z %[channels] %C %#' " + sh(file.string() + "[0]")).out;
}

int pages(const fs::path& file) {
    const auto r = run("identify -format '%p\\n' " + sh(file));
    return int(std::count(r.out.begin(), r.out.end(), '\n'));
}

struct Layout {
    const char* name;
    const char* options;  // ImageMagick options for the source
    const char* prefix;   // output format prefix, e.g. "TIFF64:"
    bool metadata = true; // exiftool cannot write BigTIFF
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Layout& layout, std::ostream* os) {
    *os << layout.name;
}

class TiffLayouts : public testing::TestWithParam<Layout> {};

TEST_P(TiffLayouts, TaggedWithTheSamePixelsAndOnlyTheOrientationKept) {
    TempDir dir;
    const Layout& layout = GetParam();
    const auto file = dir / "scan.tif";
    convert(std::string("-seed 7 -size 64x48 plasma: ") + layout.options + " " + layout.prefix +
            sh(file));
    if (layout.metadata) {
        addCameraMetadata(file);
        ASSERT_EQ(exif(file).value("Make", ""), "Acme");
    }
    const auto before = exif(file);
    const std::string pixels = firstPage(file);

    const tg::TGResult r = tg::processImageCore(file);
    EXPECT_EQ(r.outcome, tg::TGOutcome::fixed) << r.message;
    EXPECT_EQ(r.message, "Tagged \u2192 Display-P3");

    const auto after = exif(file);
    EXPECT_EQ(after.value("ProfileDescription", ""), "Display P3");
    EXPECT_EQ(after.value("Orientation", 0), layout.metadata ? 6 : 1);
    for (const char* gone : {"Make", "Model", "Artist", "Software", "ImageDescription",
                             "GPSLatitude", "ExposureTime", "Creator", "XMPToolkit"})
        EXPECT_FALSE(after.contains(gone)) << gone;
    EXPECT_EQ(firstPage(file), pixels);
    EXPECT_EQ(after.value("BitsPerSample", nlohmann::json()),
              before.value("BitsPerSample", nlohmann::json()));
    EXPECT_TRUE(imgtest::leftovers(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Tiff, TiffLayouts,
    testing::Values(
        Layout{"rgb8Uncompressed", "-depth 8 -compress None", ""},
        Layout{"rgb8LzwPredictor", "-depth 8 -compress LZW -define tiff:predictor=2", ""},
        Layout{"rgb8Deflate", "-depth 8 -compress Zip", ""},
        Layout{"rgb16Lzw", "-depth 16 -compress LZW", ""},
        Layout{"rgb16BigEndian", "-depth 16 -endian MSB -compress None", ""},
        Layout{"rgbaDeflate", "-depth 8 -alpha set -channel A -fx 'i/w' +channel -compress Zip",
               ""},
        Layout{"tiled", "-depth 8 -compress LZW -define tiff:tile-geometry=16x16", ""},
        Layout{"planeSeparate", "-depth 8 -interlace Plane -compress LZW", ""},
        Layout{"jpeg", "-depth 8 -compress JPEG -quality 90", ""},
        Layout{"palette", "-type Palette -colors 16 -compress None", ""},
        Layout{"palette4Bit", "-type Palette -colors 16 -depth 4 -compress LZW", ""},
        Layout{"lsbFillOrder", "-depth 8 -compress None -define tiff:fill-order=lsb", ""},
        Layout{"bigTiff", "-depth 16 -compress Zip", "TIFF64:", false}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

TEST(TiffTagging, MultiPageKeepsOnlyTheFirstPage) {
    TempDir dir;
    const auto file = dir / "pages.tif";
    convert("-seed 7 -size 64x48 plasma: -seed 8 -size 64x48 plasma: -depth 8 -compress LZW " +
            sh(file));
    ASSERT_EQ(pages(file), 2);
    const std::string first = firstPage(file);
    const auto before = exif(file);
    EXPECT_EQ(tg::processImageCore(file).outcome, tg::TGOutcome::fixed);
    EXPECT_EQ(pages(file), 1);
    EXPECT_EQ(firstPage(file), first);
    const auto after = exif(file);
    EXPECT_EQ(after.value("ProfileDescription", ""), "Display P3");
    EXPECT_EQ(after.value("Orientation", 0), before.value("Orientation", 0));
}

TEST(TiffTagging, ColourModelsOtherThanRgbAreRefused) {
    TempDir dir;
    const std::pair<const char*, const char*> models[] = {
        {"cmyk.tif", "-colorspace CMYK"},
        {"grey.tif", "-colorspace Gray"},
        {"bilevel.tif", "-monochrome"},
    };
    for (const auto& [name, options] : models) {
        const auto file = dir / name;
        makeTiff(file, options);
        const auto bytes = readBytes(file);
        const tg::TGResult r = tg::processImageCore(file);
        EXPECT_EQ(r.outcome, tg::TGOutcome::error) << name;
        EXPECT_EQ(r.message, "Couldn't tag image") << name;
        EXPECT_EQ(readBytes(file), bytes) << name;
    }
    EXPECT_TRUE(imgtest::leftovers(dir.path()).empty());
}

TEST(TiffTagging, ExistingProfilesAreJudgedByTheirColorimetry) {
    TempDir dir;
    // Display P3 written by another program: left alone, byte for byte.
    const auto p3 = dir / "p3.tif";
    makeTiff(p3, "-depth 8");
    imgtest::embedProfile(p3, imgtest::makeProfile({}));
    const auto bytes = readBytes(p3);
    const tg::TGResult already = tg::processImageCore(p3);
    EXPECT_EQ(already.outcome, tg::TGOutcome::already);
    EXPECT_EQ(already.message, "Already Display-P3");
    EXPECT_EQ(readBytes(p3), bytes);

    // sRGB, and a profile that only calls itself Display P3: both replaced by ours.
    imgtest::ProfileSpec fake = imgtest::srgb();
    fake.description = "Display P3";
    for (const auto& spec : {imgtest::srgb(), fake}) {
        const auto file = dir / "other.tif";
        makeTiff(file, "-depth 8");
        imgtest::embedProfile(file, imgtest::makeProfile(spec));
        const std::string pixels = firstPage(file);
        EXPECT_EQ(tg::processImageCore(file).outcome, tg::TGOutcome::fixed);
        EXPECT_EQ(firstPage(file), pixels);
        EXPECT_EQ(tg::inspectTiff(file).check, tg::ImageCheck::alreadyP3);
    }
}

TEST(TiffTagging, DamagedFilesAreReportedAndLeftAlone) {
    TempDir dir;
    // A header that names a directory past the end.
    const std::vector<std::uint8_t> header = {'I', 'I', 42, 0, 0xF0, 0xFF, 0, 0, 1, 2, 3};
    const auto junk = dir / "junk.tif";
    writeBytes(junk, header);
    // A valid directory whose only strip lies beyond the end of the file.
    std::vector<std::uint8_t> beyond = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
        const std::uint8_t e[12] = {std::uint8_t(tag),
                                    std::uint8_t(tag >> 8),
                                    std::uint8_t(type),
                                    0,
                                    1,
                                    0,
                                    0,
                                    0,
                                    std::uint8_t(value),
                                    std::uint8_t(value >> 8),
                                    std::uint8_t(value >> 16),
                                    std::uint8_t(value >> 24)};
        beyond.insert(beyond.end(), e, e + 12);
    };
    beyond.push_back(9);
    beyond.push_back(0);
    entry(256, 3, 64);          // width
    entry(257, 3, 48);          // length
    entry(258, 3, 8);           // bits per sample (one value for all)
    entry(259, 3, 1);           // no compression
    entry(262, 3, 2);           // RGB
    entry(273, 4, 100000);      // strip offset, far beyond the end
    entry(277, 3, 3);           // samples per pixel
    entry(278, 3, 48);          // rows per strip
    entry(279, 4, 64 * 48 * 3); // strip byte count
    beyond.insert(beyond.end(), {0, 0, 0, 0});
    const auto far = dir / "far.tif";
    writeBytes(far, beyond);

    for (const auto& file : {junk, far}) {
        const auto original = readBytes(file);
        const tg::TGResult r = tg::processImageCore(file);
        EXPECT_EQ(r.outcome, tg::TGOutcome::error) << file;
        EXPECT_EQ(r.message, "Can't read image") << file;
        EXPECT_EQ(readBytes(file), original);
    }
    EXPECT_TRUE(imgtest::leftovers(dir.path()).empty());
}

TEST(TiffTagging, AWriteThatFailsIsReported) {
    TempDir dir;
    const auto file = dir / "scan.tif";
    makeTiff(file, "-depth 8 -compress LZW");
    const tg::ImageInfo info = tg::inspectTiff(file);
    ASSERT_EQ(info.check, tg::ImageCheck::taggable);
    // A descriptor that refuses writes stands in for a disk that fails under us.
    const auto target = dir / "out.tif";
    writeBytes(target, {});
    const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(tg::writeTiff(file, info, fd));
    // The descriptor stays the caller's.
    EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);
    ::close(fd);
}

} // namespace
