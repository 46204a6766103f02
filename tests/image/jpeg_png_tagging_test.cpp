// Tagging real JPEG and PNG files made at test time; exiftool and ImageMagick read the results.
#include "image/display_p3.h"
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <map>

namespace {

namespace fs = std::filesystem;
using namespace imgtest;
using tg::TGOutcome;
using tgtest::readBytes;
using tgtest::run;
using tgtest::sh;
using tgtest::TempDir;

const std::string TAGGED = "Tagged \u2192 Display-P3";
// Everything a tagged file must have lost, and what it must keep.
const std::string CHECKED_TAGS =
    "-FileType -ProfileDescription -ProfileName -Orientation# -BitDepth -ColorType "
    "-EncodingProcess -Make -Model -GPSLatitude -XMP:all -IPTC:all -Comment -ThumbnailImage "
    "-Gamma -SRGBRendering -WhitePointX -ModifyDate";

void convert(const std::string& args) {
    ASSERT_EQ(run("convert " + args).status, 0) << "convert " << args;
}
void exiftool(const std::string& args, const fs::path& file) {
    ASSERT_EQ(run("exiftool -q -q -overwrite_original " + args + " " + sh(file)).status, 0) << args;
}

// Source images, each made the first time a test asks for it and copied for every test.
fs::path source(const std::string& name) {
    static TempDir dir;
    const auto path = dir / name;
    if (fs::exists(path)) return path;
    const std::string pattern = "-size 64x48 gradient:#ff2000-#0030ff -swirl 90 ";
    const std::map<std::string, std::function<void()>> recipes = {
        {"camera.jpg",
         [&] {
             convert(pattern + "-quality 92 " + sh(path));
             convert("-size 16x12 xc:gray " + sh(dir / "thumb.jpg"));
             exiftool("-Make=Canon -Model='EOS R5' -GPSLatitude=48.1 -GPSLatitudeRef=N "
                      "-XMP:Title=Secret -IPTC:Keywords=private -Comment=hello "
                      "'-ThumbnailImage<=" +
                          (dir / "thumb.jpg").string() + "' -Orientation=6 -n",
                      path);
         }},
        {"progressive.jpg", [&] { convert(pattern + "-quality 90 -interlace JPEG " + sh(path)); }},
        {"grey.jpg", [&] { convert(pattern + "-colorspace Gray -type Grayscale " + sh(path)); }},
        {"cmyk.jpg", [&] { convert(pattern + "-colorspace CMYK " + sh(path)); }},
        {"plain.jpg", [&] { convert(pattern + "-quality 95 " + sh(path)); }},
        {"deep.png",
         [&] {
             convert(pattern + "-depth 16 -set comment note " + sh(path));
             exiftool("-Orientation=6 -n -XMP:Title=Secret", path);
         }},
        {"palette.png", [&] { convert(pattern + "-colors 16 PNG8:" + sh(path)); }},
        {"alpha.png",
         [&] {
             convert(pattern +
                     "-alpha set -channel A -evaluate set 50% +channel PNG32:" + sh(path));
         }},
        {"grey.png",
         [&] { convert(pattern + "-colorspace Gray -define png:color-type=0 " + sh(path)); }},
        {"greyalpha.png",
         [&] {
             convert(pattern + "-colorspace Gray -alpha set -define png:color-type=4 " + sh(path));
         }},
    };
    recipes.at(name)();
    return path;
}

class JpegPngTagging : public ::testing::Test {
protected:
    fs::path copy(const std::string& name, const std::string& as = "") {
        const auto to = dir_ / (as.empty() ? name : as);
        fs::copy_file(source(name), to);
        return to;
    }
    TempDir dir_;
};

void expectOnlyOrientationLeft(const Tags& t, const std::string& label) {
    EXPECT_EQ(t["ProfileDescription"], "Display P3") << label;
    for (const char* gone :
         {"Make", "Model", "GPSLatitude", "Title", "Keywords", "Comment", "ThumbnailImage", "Gamma",
          "SRGBRendering", "WhitePointX", "ModifyDate"})
        EXPECT_FALSE(t.has(gone)) << label << ": " << gone << " survived";
}

TEST_F(JpegPngTagging, CameraJpegKeepsPixelsAndOrientationAndLosesMetadata) {
    const auto file = copy("camera.jpg", "IMG_0001.JPG");
    fs::permissions(file, fs::perms(0640));
    const bool xattrs = ::setxattr(file.c_str(), "user.xdg.tags", "graded", 6, 0) == 0;
    const auto before = pixels(file);
    ASSERT_EQ(Tags(file, "-Make")["Make"], "Canon");

    const auto r = tg::processImageCore(file);
    EXPECT_EQ(r.name(), "IMG_0001.JPG");
    EXPECT_EQ(r.outcome, TGOutcome::fixed);
    EXPECT_EQ(r.message, TAGGED);
    EXPECT_FALSE(r.produced);

    const Tags t(file, CHECKED_TAGS);
    EXPECT_EQ(t["FileType"], "JPEG");
    EXPECT_EQ(t["Orientation"], "6");
    expectOnlyOrientationLeft(t, "camera");
    EXPECT_EQ(pixels(file), before);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
    if (xattrs) {
        char tag[16] = {};
        EXPECT_EQ(::getxattr(file.c_str(), "user.xdg.tags", tag, sizeof tag), 6);
        EXPECT_STREQ(tag, "graded");
    }
    EXPECT_TRUE(leftovers(dir_.path()).empty());
    const auto icc = run("exiftool -b -icc_profile " + sh(file)).out;
    EXPECT_EQ(std::vector<std::uint8_t>(icc.begin(), icc.end()), tg::displayP3Profile());

    // A second run finds the profile and leaves the file alone.
    const auto bytes = readBytes(file);
    const auto mtime = mtimeOf(file);
    const auto again = tg::processImageCore(file);
    EXPECT_EQ(again.outcome, TGOutcome::already);
    EXPECT_EQ(again.message, "Already Display-P3");
    EXPECT_EQ(readBytes(file), bytes);
    EXPECT_EQ(mtimeOf(file), mtime);
}

TEST_F(JpegPngTagging, ProgressiveJpegDropsTrailingImagesAndKeepsScans) {
    const auto file = copy("progressive.jpg");
    const auto original = readBytes(file);
    // A second image after EOI, as MPF secondary images and gain maps are stored.
    auto withTrailer = original;
    const auto extra = readBytes(source("plain.jpg"));
    withTrailer.insert(withTrailer.end(), extra.begin(), extra.end());
    tgtest::writeBytes(file, withTrailer);
    const auto before = pixels(file);

    ASSERT_EQ(tg::processImageCore(file).message, TAGGED);
    EXPECT_EQ(pixels(file), before);
    const Tags t(file, CHECKED_TAGS);
    EXPECT_EQ(t["ProfileDescription"], "Display P3");
    EXPECT_EQ(t["EncodingProcess"], "Progressive DCT, Huffman coding");
    EXPECT_FALSE(t.has("Orientation"));
    EXPECT_LT(readBytes(file).size(), original.size() + 1000); // the trailing image is gone
}

TEST_F(JpegPngTagging, GreyAndCmykAreRefusedUntouched) {
    for (const char* name : {"grey.jpg", "cmyk.jpg", "grey.png", "greyalpha.png"}) {
        const auto file = copy(name);
        const auto bytes = readBytes(file);
        const auto r = tg::processImageCore(file);
        EXPECT_EQ(r.outcome, TGOutcome::error) << name;
        EXPECT_EQ(r.message, "Couldn't tag image") << name;
        EXPECT_EQ(readBytes(file), bytes) << name;
        EXPECT_TRUE(leftovers(dir_.path()).empty()) << name;
    }
}

TEST_F(JpegPngTagging, UnreadableFilesAreReportedAndKept) {
    const auto text = dir_ / "photo.jpg";
    tgtest::writeBytes(text, {'h', 'e', 'l', 'l', 'o', '\n'});
    EXPECT_EQ(tg::processImageCore(text).message, "Can't read image");
    tgtest::writeBytes(dir_ / "BMW.png", std::vector<std::uint8_t>(40, 'B'));
    EXPECT_EQ(tg::processImageCore(dir_ / "BMW.png").message, "Can't read image");

    // A JPEG cut in its header, and a PNG with one flipped bit (its CRC no longer matches).
    auto jpeg = readBytes(source("plain.jpg"));
    jpeg.resize(300);
    tgtest::writeBytes(dir_ / "cut.jpg", jpeg);
    EXPECT_EQ(tg::processImageCore(dir_ / "cut.jpg").message, "Can't read image");
    auto png = readBytes(source("palette.png"));
    png[png.size() / 2] ^= 0x10;
    tgtest::writeBytes(dir_ / "flipped.png", png);
    EXPECT_EQ(tg::processImageCore(dir_ / "flipped.png").message, "Can't read image");
    EXPECT_EQ(readBytes(dir_ / "flipped.png"), png);

    EXPECT_EQ(tg::processImageCore(dir_ / "missing.png").message, "Can't read image");
    fs::create_directory(dir_ / "folder.png");
    EXPECT_EQ(tg::processImageCore(dir_ / "folder.png").message, "Can't read image");
    // A GIF is an image, but not one we write.
    convert("-size 8x8 xc:red GIF:" + sh(dir_ / "moving.png"));
    EXPECT_EQ(tg::processImageCore(dir_ / "moving.png").message, "Unknown image type");
    EXPECT_TRUE(leftovers(dir_.path()).empty());
}

TEST_F(JpegPngTagging, TypeComesFromContentNotName) {
    const auto file = copy("palette.png", "really-a-png.jpg");
    const auto before = pixels(file);
    EXPECT_EQ(tg::processImageCore(file).message, TAGGED);
    EXPECT_EQ(Tags(file, "-FileType")["FileType"], "PNG");
    EXPECT_EQ(pixels(file), before);
}

TEST_F(JpegPngTagging, PngKeepsDepthPaletteAlphaAndOrientation) {
    struct Case {
        const char* name;
        const char* map;
        const char* colourType;
        const char* depth;
        const char* orientation;
    };
    for (const Case c :
         {Case{"deep.png", "rgb", "RGB", "16", "6"}, Case{"palette.png", "rgb", "Palette", "", ""},
          Case{"alpha.png", "rgba", "RGB with Alpha", "8", ""}}) {
        const auto file = copy(c.name);
        const auto before = pixels(file, c.map);
        const auto depth = Tags(file, "-BitDepth")["BitDepth"];
        ASSERT_EQ(tg::processImageCore(file).message, TAGGED) << c.name;
        EXPECT_EQ(pixels(file, c.map), before) << c.name;
        const Tags t(file, CHECKED_TAGS);
        EXPECT_EQ(t["BitDepth"], depth) << c.name;
        if (*c.depth) {
            EXPECT_EQ(t["BitDepth"], c.depth) << c.name;
        }
        EXPECT_EQ(t["ColorType"], c.colourType) << c.name;
        EXPECT_EQ(t["ProfileName"], "Display P3") << c.name;
        EXPECT_EQ(t["Orientation"], c.orientation) << c.name;
        expectOnlyOrientationLeft(t, c.name);
        EXPECT_EQ(run("identify -regard-warnings " + sh(file) + " >/dev/null").status, 0) << c.name;
    }
}

// Profiles other programs wrote: Display P3 under another name, version or rounding counts as
// Display P3; DCI-P3, Adobe RGB, sRGB and P3 with a gamma 2.2 curve do not.
TEST_F(JpegPngTagging, ProfilesFromOtherProgramsAreJudgedByTheirColorimetry) {
    ProfileSpec v2;
    v2.version = 2.1;
    v2.description = "P3 (camera)";
    ProfileSpec rounded;
    rounded.red[0] = 0.6801, rounded.green[1] = 0.6899, rounded.white[0] = 0.31271;
    rounded.description = "Display P3 - Editor";
    ProfileSpec gamma;
    gamma.curve = Curve::gamma22;

    struct Case {
        const char* label;
        ProfileSpec spec;
        bool p3;
    };
    const Case cases[] = {{"v2", v2, true},        {"rounded", rounded, true},
                          {"dci", dciP3(), false}, {"adobe", adobeRgb(), false},
                          {"srgb", srgb(), false}, {"gamma22", gamma, false}};
    // One exiftool run embeds every profile: each file takes the .icc named after it.
    std::vector<fs::path> files;
    for (const auto& c : cases)
        for (const char* base : {"plain.jpg", "deep.png"}) {
            files.push_back(copy(base, std::string(c.label) + "-" + base));
            tgtest::writeBytes(files.back().string() + ".icc", makeProfile(c.spec));
        }
    ASSERT_EQ(run("exiftool -q -q -overwrite_original '-icc_profile<=%d%f.%e.icc' " +
                  sh(dir_.path()) + " -ext jpg -ext png")
                  .status,
              0);

    std::size_t i = 0;
    std::vector<std::string> tagged;
    for (const auto& c : cases)
        for (int n = 0; n < 2; ++n) {
            const auto& file = files[i++];
            const auto bytes = readBytes(file);
            const auto mtime = mtimeOf(file);
            const auto r = tg::processImageCore(file);
            if (c.p3) {
                EXPECT_EQ(r.message, "Already Display-P3") << file;
                EXPECT_EQ(readBytes(file), bytes) << file;
                EXPECT_EQ(mtimeOf(file), mtime) << file;
            } else {
                EXPECT_EQ(r.message, TAGGED) << file;
                tagged.push_back(file.filename().string());
            }
        }
    // One exiftool run reads every result back.
    const auto out =
        run("exiftool -j -FileName -ProfileDescription " + sh(dir_.path()) + " -ext jpg -ext png")
            .out;
    const auto all = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(all.is_array());
    std::size_t seen = 0;
    for (const auto& entry : all)
        if (std::find(tagged.begin(), tagged.end(), entry.value("FileName", "")) != tagged.end()) {
            EXPECT_EQ(entry.value("ProfileDescription", ""), "Display P3") << entry;
            ++seen;
        }
    EXPECT_EQ(seen, tagged.size());
}

// A cICP chunk (primaries 12, transfer 13) also says Display P3; other codes are re-tagged.
TEST_F(JpegPngTagging, PngCicpSignal) {
    const auto withCicp = [&](const std::string& name, std::uint8_t primaries) {
        auto png = readBytes(source("deep.png"));
        std::vector<std::uint8_t> chunk = {0, 0, 0, 4, 'c', 'I', 'C', 'P', primaries, 13, 0, 1};
        const std::uint32_t crc = std::uint32_t(::crc32(0, chunk.data() + 4, 8));
        for (int s = 24; s >= 0; s -= 8)
            chunk.push_back(std::uint8_t(crc >> s));
        png.insert(png.begin() + 33, chunk.begin(), chunk.end()); // right after IHDR
        tgtest::writeBytes(dir_ / name, png);
        return dir_ / name;
    };
    const auto p3 = withCicp("p3.png", 12);
    const auto bytes = readBytes(p3);
    EXPECT_EQ(tg::processImageCore(p3).message, "Already Display-P3");
    EXPECT_EQ(readBytes(p3), bytes);
    const auto bt709 = withCicp("bt709.png", 1);
    EXPECT_EQ(tg::processImageCore(bt709).message, TAGGED);
    const auto chunks = run("exiftool -v1 " + sh(bt709)).out;
    EXPECT_EQ(chunks.find("cICP"), std::string::npos);
    EXPECT_NE(chunks.find("iCCP"), std::string::npos);
}

TEST_F(JpegPngTagging, SymlinkedPhotoIsReplacedBehindTheLink) {
    fs::create_directory(dir_ / "real");
    const auto target = copy("plain.jpg", "real/photo.jpg");
    const auto link = dir_ / "link.jpg";
    fs::create_symlink("real/photo.jpg", link);
    const auto r = tg::processImageCore(link);
    EXPECT_EQ(r.message, TAGGED);
    EXPECT_EQ(r.name(), "link.jpg");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Tags(target, "-ProfileDescription")["ProfileDescription"], "Display P3");
    EXPECT_TRUE(leftovers(dir_.path()).empty());
    EXPECT_TRUE(leftovers(dir_ / "real").empty());
}

TEST_F(JpegPngTagging, OwnerIsKeptWhenRootTags) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the file to another owner";
    const auto file = copy("plain.jpg");
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(tg::processImageCore(file).message, TAGGED);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
}

// In a sticky folder (as /tmp is) a user may create files but not replace another user's file:
// the temporary file is written, the swap is refused, and the temporary file goes.
TEST_F(JpegPngTagging, RefusedSwapRemovesTheTemporaryFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    fs::permissions(dir_.path(), fs::perms(0755));
    const auto shared = dir_ / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms(01777));
    const auto file = shared / "photo.jpg";
    fs::copy_file(source("plain.jpg"), file);
    fs::permissions(file, fs::perms(0644));
    const auto bytes = readBytes(file);
    const int status = tgtest::runAsNobody([&] {
        const auto r = tg::processImageCore(file);
        if (r.message != "Replace failed") return 1;
        return leftovers(shared).empty() ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes(file), bytes);
    EXPECT_TRUE(leftovers(shared).empty());
}

TEST_F(JpegPngTagging, NoRoomForTheTemporaryFileLeavesTheOriginal) {
    if (!tgtest::canMount()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    {
        tgtest::SmallDisk disk(1 << 20);
        ASSERT_TRUE(disk.mounted());
        fs::copy_file(source("plain.jpg"), disk.path() / "photo.jpg");
        const auto bytes = readBytes(disk.path() / "photo.jpg");
        ASSERT_TRUE(disk.makeReadOnly());
        EXPECT_EQ(tg::processImageCore(disk.path() / "photo.jpg").message, "Write init failed");
        EXPECT_EQ(readBytes(disk.path() / "photo.jpg"), bytes);
    }
    {
        tgtest::SmallDisk disk(1 << 20);
        ASSERT_TRUE(disk.mounted());
        fs::copy_file(source("plain.jpg"), disk.path() / "photo.jpg");
        const auto bytes = readBytes(disk.path() / "photo.jpg");
        disk.fill(0);
        EXPECT_EQ(tg::processImageCore(disk.path() / "photo.jpg").message, "Write failed");
        EXPECT_EQ(readBytes(disk.path() / "photo.jpg"), bytes);
        EXPECT_TRUE(leftovers(disk.path()).empty());
    }
}

} // namespace
