// Tagging real JPEG, PNG and TIFF files made at test time; exiftool and ImageMagick read the
// results back (HEIF has its own tests, with libheif as the reader). 12-bit JPEGs are tagged from
// their frame header alone; ffmpeg decodes them, as it does animated PNGs. What a photo holds
// beyond its picture is kept, or the photo is refused with the reason.
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>

// x265 3.5 keeps about a kilobyte from every encoder it opens that its close does not return;
// the leak is the library's, not ours, and would otherwise fail the sanitizer build.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

namespace {

using namespace imgtest;
using Make = void (*)(const fs::path&, const std::string& options);

// A 12-bit extended-sequential (SOF1) JPEG: an 8-bit file's Huffman scan read at 12 bits is
// still a valid one.
void twelveBit(const fs::path& file, const std::string& options) {
    makeImage(file, "-quality 90 -sampling-factor 1x1 " + options);
    auto f = readBytes(file);
    const std::uint8_t sof0[] = {0xFF, 0xC0};
    const auto sof = std::search(f.begin(), f.end(), std::begin(sof0), std::end(sof0));
    ASSERT_NE(sof, f.end());
    sof[1] = 0xC1;
    sof[4] = 12;
    writeBytes(file, f);
}

void textFile(const fs::path& file, const std::string&) {
    writeBytes(file, {'h', 'e', 'l', 'l', 'o', '\n'});
}
void withoutEndMarker(const fs::path& file, const std::string& options) {
    makeImage(file, options);
    auto f = readBytes(file);
    f.resize(f.size() - 2); // FF D9
    writeBytes(file, f);
}

// A PNG whose cICP states these codes ("primaries transfer"); cICP outranks any profile.
void withCicp(const fs::path& file, const std::string& codes) {
    std::istringstream in(codes);
    int primaries = 0, transfer = 0;
    in >> primaries >> transfer;
    Blob bytes = readBytes(clip("photo.png"));
    const Blob cicp = pngChunk("cICP", {std::uint8_t(primaries), std::uint8_t(transfer), 0, 1});
    bytes.insert(bytes.begin() + 33, cicp.begin(), cicp.end()); // after the signature and IHDR
    writeBytes(file, bytes);
}
// A primary picture with an MPF index (as cameras and phones write it) naming a second picture
// appended after it: a gain map, marked as "xmp" or "iso" say, or else a preview.
void withSecondPicture(const fs::path& file, const std::string& kind) {
    const Blob xmp = jpegSegment(
        0xE1, cat({text("http://ns.adobe.com/xap/1.0/"), Blob{0},
                   text("<x:xmpmeta xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" "
                        "hdrgm:Version=\"1.0\"/>")}));
    const Blob iso =
        jpegSegment(0xE2, cat({text("urn:iso:std:iso:ts:21496:-1"), Blob{0, 0, 0, 0, 0}}));
    const Blob jpeg = readBytes(clip("photo.jpg"));
    const Blob marker = kind == "xmp" ? xmp : kind == "iso" ? iso : Blob{};
    const Blob second = cat({Blob{0xFF, 0xD8}, marker, Blob(jpeg.begin() + 2, jpeg.end())});
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
    writeBytes(file,
               cat({Blob{0xFF, 0xD8}, mpf(secondAt), Blob(jpeg.begin() + 2, jpeg.end()), second}));
    ASSERT_EQ(exif(file, "-NumberOfImages").value("NumberOfImages", 0), 2);
}

const char* const REFUSED = "Couldn't tag image";
struct Source {
    const char* file;
    const char* options; // ImageMagick options that make it, or what make takes
    const char* prefix = "";
    int orientation = 0;           // EXIF orientation written, and expected after tagging
    const char* refusal = nullptr; // the message when the file is reported and left as it is
    const char* why = nullptr;     // and its detail
    Make make = nullptr;           // instead of ImageMagick alone
    std::string (*pixels)(const fs::path&) = nullptr; // the decoder, when not ImageMagick
};

class Tagging : public testing::TestWithParam<Source> {};

TEST_P(Tagging, LabelsDisplayP3KeepingThePictureOrLeavesTheFile) {
    const Source& s = GetParam();
    TempDir dir;
    const auto file = dir / s.file;
    if (s.make)
        s.make(file, s.options);
    else
        makeImage(file, s.options, s.prefix);
    if (s.refusal) {
        const auto bytes = readBytes(file);
        const auto r = tg::processImageCore(file);
        EXPECT_EQ(r.outcome, tg::TGOutcome::error);
        EXPECT_EQ(r.message, s.refusal);
        EXPECT_EQ(r.detail, s.why);
        EXPECT_EQ(readBytes(file), bytes);
        EXPECT_TRUE(leftovers(dir.path()).empty());
        return;
    }
    addCameraMetadata(file, s.orientation ? "-Orientation#=" + std::to_string(s.orientation) : "");
    ASSERT_EQ(exif(file).value("Make", ""), "Canon");
    fs::permissions(file, fs::perms(0640));
    const auto original = dir / ("original" + file.extension().string());
    fs::copy_file(file, original);
    // The first picture, at the source's depth, alpha included.
    const auto pixels = [&](const fs::path& f) {
        return s.pixels ? s.pixels(f) : run("convert " + sh(f.string() + "[0]") + " rgba:-").out;
    };
    const std::string before = pixels(original);
    ASSERT_FALSE(before.empty());

    const auto r = tg::processImageCore(file);
    EXPECT_EQ(r.outcome, tg::TGOutcome::fixed) << r.message;
    EXPECT_EQ(r.message, TAGGED);
    const auto meta = exif(file);
    EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3");
    for (const char* gone : {"Make", "Model", "GPSLatitude", "Title", "XMPToolkit"})
        EXPECT_FALSE(meta.contains(gone)) << gone << " survived";
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
    if (!s.pixels) { // one picture
        EXPECT_EQ(run("identify -format '%p\\n' " + sh(file)).out, "0\n");
    }
    EXPECT_TRUE(leftovers(dir.path()).empty());
    EXPECT_EQ(pixels(file), before);
    // ImageMagick writes Orientation 1 into every TIFF; the others have none unless we add one.
    EXPECT_EQ(exif(file, "-Orientation").value("Orientation", 1),
              s.orientation ? s.orientation : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Tagging,
    testing::Values(
        Source{"camera.jpg", "-quality 92", "", 6},
        Source{"progressive.jpg", "-quality 90 -interlace JPEG"},
        Source{"deep.png", "-depth 16", "", 6}, Source{"palette.png", "-colors 16", "PNG8:"},
        Source{"deep.tif", "-depth 16 -compress LZW", "", 6},
        Source{"twelve.jpg", "", "", 6, nullptr, nullptr, twelveBit, frameHashes},
        Source{"preview.jpg", "preview", "", 0, nullptr, nullptr, withSecondPicture},
        // Pictures that cannot be relabelled, and files that are no pictures.
        Source{"grey.png", "-colorspace Gray -define png:color-type=0", "", 0, REFUSED,
               "monochrome image"},
        Source{"cmyk.tif", "-colorspace CMYK", "", 0, REFUSED, "CMYK image"},
        Source{"cmyk.jpg", "-colorspace CMYK", "", 0, REFUSED, "CMYK image"},
        Source{"twelve_grey.jpg", "-colorspace Gray -type Grayscale", "", 0, REFUSED,
               "monochrome image", twelveBit},
        // HDR is refused, not relabelled SDR: by its codes, or by a gain map beside the picture.
        Source{"pq.png", "9 16", "", 0, REFUSED, "HDR: PQ transfer (16)", withCicp},
        Source{"bt2020.png", "9 1", "", 0, REFUSED, "HDR: BT.2020 primaries (9)", withCicp},
        Source{"xmp_gain_map.jpg", "xmp", "", 0, REFUSED, "HDR: a gain map", withSecondPicture},
        Source{"iso_gain_map.jpg", "iso", "", 0, REFUSED, "HDR: a gain map", withSecondPicture},
        Source{"photo.jpg", "", "", 0, "Can't read image", "not an image we recognise", textFile},
        Source{"cut.jpg", "-quality 90", "", 0, "Can't read image",
               "JPEG cut short (no end of image)", withoutEndMarker},
        Source{"moving.png", "-colors 8", "GIF:", 0, "Unknown image type", // we do not write GIF
               "not a JPEG, PNG, TIFF, HEIF or WebP image"}),
    [](const auto& info) { return rowName(info.param.file); });

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

// The file behind a symbolic link is replaced; the link stays.
TEST(Symlink, PhotoIsReplacedBehindTheLink) {
    TempDir dir;
    fs::create_directory(dir / "real");
    makeImage(dir / "real/photo.jpg", "-quality 95");
    fs::create_symlink("real/photo.jpg", dir / "link.jpg");
    EXPECT_EQ(tg::processImageCore(dir / "link.jpg").message, TAGGED);
    EXPECT_TRUE(fs::is_symlink(dir / "link.jpg"));
    EXPECT_EQ(exif(dir / "real/photo.jpg").value("ProfileDescription", ""), "Display P3");
    EXPECT_TRUE(leftovers(dir.path()).empty() && leftovers(dir / "real").empty());
}

// Whether a file is already Display P3 is judged by its profile's colorimetry, whoever wrote it.
TEST(AlreadyDisplayP3, JudgedByColorimetry) {
    struct Case {
        const char* label;
        std::optional<ProfileRecipe> profile;
        bool p3;
    };
    const Case cases[] = {
        {"otherVersion", ProfileRecipe{.description = "iPhone", .version = 2.1}, true},
        {"rounded",
         ProfileRecipe{.description = "Display P3 - Editor",
                       .white = {0.31271, 0.3290},
                       .red = {0.6801, 0.320}},
         true},
        {"dci", ProfileRecipe{.description = "DCI-P3", .white = {0.314, 0.351}}, false},
        // sRGB under the name Display P3 (the default description)
        {"srgbNamedP3", ProfileRecipe{.red = {0.64, 0.33}, .green = {0.30, 0.60}}, false},
        {"gamma22", ProfileRecipe{.description = "P3 2.2", .curve = Curve::gamma22}, false},
        {"none", std::nullopt, false},
    };
    TempDir dir;
    for (const char* ext : {".jpg", ".png", ".tif"}) {
        const auto source = dir / (std::string("source") + ext);
        makeImage(source, "-depth 8");
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.label) + ext);
            const auto file = dir / (c.label + std::string(ext));
            fs::copy_file(source, file);
            if (c.profile) {
                writeBytes(file.string() + ".icc", makeProfile(*c.profile));
                command("exiftool -q -q -overwrite_original '-icc_profile<=" + file.string() +
                        ".icc' " + sh(file));
            }
            const auto bytes = readBytes(file);
            const auto mtime = fs::last_write_time(file);
            const auto r = tg::processImageCore(file);
            if (c.p3) {
                EXPECT_EQ(r.message, "Already Display-P3");
                EXPECT_EQ(readBytes(file), bytes);
                EXPECT_EQ(fs::last_write_time(file), mtime);
            } else {
                EXPECT_EQ(r.message, TAGGED);
                EXPECT_EQ(exif(file).value("ProfileDescription", ""), "Display P3");
            }
        }
    }
}

// A read-only volume and a full disk, met for real on a small tmpfs.
TEST(Refused, VolumeThatCannotTakeTheResult) {
    if (!canMount()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    for (const bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly ? "read-only" : "full");
        SmallDisk disk(1 << 20);
        ASSERT_TRUE(disk.mounted());
        const auto file = disk.path() / "photo.jpg";
        makeImage(file, "-quality 95");
        const auto bytes = readBytes(file);
        if (readOnly)
            ASSERT_TRUE(disk.makeReadOnly());
        else
            disk.fill(0);
        EXPECT_EQ(tg::processImageCore(file).message,
                  readOnly ? "Write init failed" : "Write failed");
        EXPECT_EQ(readBytes(file), bytes);
        EXPECT_TRUE(leftovers(disk.path()).empty());
    }
}

} // namespace
