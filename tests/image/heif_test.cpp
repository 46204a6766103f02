// HEIF/HEIC tagging, on HEIC files encoded by libheif at test time. exiftool reads the labels and
// metadata back; the pixels are compared by decoding source and result with libheif, as a viewer
// would show them (rotation and mirroring applied).
#include "fixtures/media.h"
#include "image/display_p3.h"
#include "image/formats.h"
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <fcntl.h>

#include <cmath>
#include <iostream>
#include <memory>
#include <optional>

// x265 3.5 keeps about a kilobyte from every encoder it opens that its close does not return;
// the leak is the library's, not ours, and would otherwise fail the sanitizer build.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

namespace {

using namespace tgtest;

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleFree {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageFree {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct EncoderFree {
    void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
struct OptionsFree {
    void operator()(heif_encoding_options* o) const { heif_encoding_options_free(o); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx* n) const { heif_nclx_color_profile_free(n); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleFree>;
using Image = std::unique_ptr<heif_image, ImageFree>;

bool ok(const heif_error& e) {
    return e.code == heif_error_Ok;
}

struct HeicSpec {
    int width = 64;
    int height = 48;
    int bits = 8;
    bool alpha = false;
    heif_orientation orientation = heif_orientation_normal;
    std::optional<std::uint16_t> primaries; // nclx colour primaries
    std::uint16_t transfer = 13;            // nclx transfer, written only with primaries
    std::uint16_t matrix = 6;               // nclx matrix, written only with primaries
    bool p3Icc = false;
    bool exif = false;
};

// A smooth picture with edges, different in every channel, so rotation and channel mix-ups show.
int sample(int x, int y, int c, int w, int h, int maxValue) {
    const double fx = double(x) / (w - 1), fy = double(y) / (h - 1);
    double v = 0;
    switch (c) {
    case 0:
        v = fx;
        break;
    case 1:
        v = fy;
        break;
    case 2:
        v = (x / 16 + y / 16) % 2 ? 0.8 : 0.2;
        break;
    default:
        v = 1.0 - 0.5 * fx;
        break;
    }
    return int(std::lround(v * maxValue));
}

void makeHeic(const fs::path& path, const HeicSpec& s) {
    const int channels = s.alpha ? 4 : 3;
    heif_chroma chroma = s.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
    if (s.bits > 8)
        chroma = s.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE;
    const heif_colorspace space = heif_colorspace_RGB;
    const heif_channel plane = heif_channel_interleaved;

    heif_image* raw = nullptr;
    ASSERT_TRUE(ok(heif_image_create(s.width, s.height, space, chroma, &raw)));
    Image img(raw);
    ASSERT_TRUE(ok(heif_image_add_plane(img.get(), plane, s.width, s.height, s.bits)));
    int stride = 0;
    std::uint8_t* data = heif_image_get_plane(img.get(), plane, &stride);
    const int maxValue = (1 << s.bits) - 1;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            for (int c = 0; c < channels; ++c) {
                const int v = sample(x, y, c, s.width, s.height, maxValue);
                if (s.bits == 8) {
                    data[y * stride + x * channels + c] = std::uint8_t(v);
                } else {
                    std::uint8_t* p = data + y * stride + (x * channels + c) * 2;
                    p[0] = std::uint8_t(v & 0xFF);
                    p[1] = std::uint8_t(v >> 8);
                }
            }
    if (s.primaries) {
        std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(heif_nclx_color_profile_alloc());
        heif_nclx_color_profile_set_color_primaries(nclx.get(), *s.primaries);
        heif_nclx_color_profile_set_transfer_characteristics(nclx.get(), s.transfer);
        heif_nclx_color_profile_set_matrix_coefficients(nclx.get(), s.matrix);
        ASSERT_TRUE(ok(heif_image_set_nclx_color_profile(img.get(), nclx.get())));
    }
    if (s.p3Icc) {
        const auto& icc = tg::displayP3Profile();
        ASSERT_TRUE(
            ok(heif_image_set_raw_color_profile(img.get(), "prof", icc.data(), icc.size())));
    }

    Context ctx(heif_context_alloc());
    heif_encoder* enc = nullptr;
    ASSERT_TRUE(ok(heif_context_get_encoder_for_format(ctx.get(), heif_compression_HEVC, &enc)));
    std::unique_ptr<heif_encoder, EncoderFree> encoder(enc);
    heif_encoder_set_lossy_quality(enc, 90);
    std::unique_ptr<heif_encoding_options, OptionsFree> opts(heif_encoding_options_alloc());
    opts->image_orientation = s.orientation;
    opts->macOS_compatibility_workaround_no_nclx_profile = 0;
    heif_image_handle* handle = nullptr;
    ASSERT_TRUE(ok(heif_context_encode_image(ctx.get(), img.get(), enc, opts.get(), &handle)));
    Handle h(handle);
    if (s.exif) {
        // A minimal big-endian EXIF block naming a camera maker, behind the 4-byte offset HEIF
        // puts before the TIFF header.
        const std::uint8_t exif[] = {0,    0, 0, 0, 'M', 'M', 0, 42,  0,   0,   0, 8, 0, 1, 0x01,
                                     0x0F, 0, 2, 0, 0,   0,   4, 'A', 'C', 'M', 0, 0, 0, 0, 0};
        ASSERT_TRUE(ok(heif_context_add_exif_metadata(ctx.get(), h.get(), exif, sizeof exif)));
    }
    ASSERT_TRUE(ok(heif_context_write_to_file(ctx.get(), path.c_str())));
}

struct Decoded {
    int width = 0;
    int height = 0;
    int bits = 0;
    bool alpha = false;
    std::vector<int> samples;
};

// The primary image as a viewer shows it: transformations applied, RGB(A) samples.
Decoded decode(const fs::path& path) {
    Decoded d;
    Context ctx(heif_context_alloc());
    if (!ok(heif_context_read_from_file(ctx.get(), path.c_str(), nullptr))) return d;
    heif_image_handle* raw = nullptr;
    if (!ok(heif_context_get_primary_image_handle(ctx.get(), &raw))) return d;
    Handle h(raw);
    d.bits = heif_image_handle_get_luma_bits_per_pixel(h.get());
    d.alpha = heif_image_handle_has_alpha_channel(h.get()) != 0;
    const bool wide = d.bits > 8;
    const heif_chroma chroma =
        wide ? (d.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (d.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* img = nullptr;
    if (!ok(heif_decode_image(h.get(), &img, heif_colorspace_RGB, chroma, nullptr))) return d;
    Image image(img);
    d.width = heif_image_get_width(img, heif_channel_interleaved);
    d.height = heif_image_get_height(img, heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
    const int channels = d.alpha ? 4 : 3;
    for (int y = 0; y < d.height; ++y)
        for (int i = 0; i < d.width * channels; ++i)
            d.samples.push_back(wide ? p[y * stride + 2 * i] | p[y * stride + 2 * i + 1] << 8
                                     : p[y * stride + i]);
    return d;
}

double psnr(const Decoded& a, const Decoded& b) {
    if (a.samples.size() != b.samples.size() || a.samples.empty()) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.samples.size(); ++i) {
        const double d = a.samples[i] - b.samples[i];
        sum += d * d;
    }
    if (sum == 0) return 99;
    const double peak = (1 << a.bits) - 1;
    return 10 * std::log10(peak * peak / (sum / double(a.samples.size())));
}

nlohmann::json exif(const fs::path& file) {
    const auto r = run("exiftool -j -n " + sh(file));
    const auto j = nlohmann::json::parse(r.out, nullptr, false);
    return j.is_array() && !j.empty() ? j[0] : nlohmann::json::object();
}

// Tags, then checks what every tagged HEIC must show: the P3 label, no camera metadata, the
// same picture (at least 50 dB against the source's decode).
void expectTaggedCopy(const fs::path& file, const Decoded& before) {
    const tg::TGResult r = tg::processImageCore(file);
    EXPECT_EQ(r.outcome, tg::TGOutcome::fixed) << r.message;
    EXPECT_EQ(r.message, "Tagged \u2192 Display-P3");
    const auto meta = exif(file);
    EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3") << meta.dump();
    EXPECT_FALSE(meta.contains("Make")) << meta.dump();
    const Decoded after = decode(file);
    EXPECT_EQ(after.width, before.width);
    EXPECT_EQ(after.height, before.height);
    EXPECT_EQ(after.bits, before.bits);
    EXPECT_EQ(after.alpha, before.alpha);
    const double db = psnr(before, after);
    std::cout << file.filename() << ": " << db << " dB, " << fs::file_size(file) << " bytes\n";
    EXPECT_GE(db, 50.0);
}

TEST(HeifTagging, EightBitPictureIsLabelledAndKeepsItsPixels) {
    TempDir dir;
    const auto file = dir / "photo.heic";
    HeicSpec spec;
    spec.exif = true;
    makeHeic(file, spec);
    EXPECT_EQ(exif(file).value("Make", ""), "ACM");
    expectTaggedCopy(file, decode(file));
}

TEST(HeifTagging, RotatedPictureShowsTheSameWayAfterTagging) {
    TempDir dir;
    const auto file = dir / "portrait.heic";
    HeicSpec spec;
    spec.orientation = heif_orientation_rotate_90_cw_then_flip_horizontally;
    makeHeic(file, spec);
    const Decoded before = decode(file);
    ASSERT_EQ(before.width, 48); // coded 64x48, shown turned
    expectTaggedCopy(file, before);
}

TEST(HeifTagging, TenBitWithAlphaStaysTenBitWithAlpha) {
    TempDir dir;
    const auto file = dir / "deep.heic";
    HeicSpec spec;
    spec.bits = 10;
    spec.alpha = true;
    spec.primaries = 1; // BT.709, with the BT.709 matrix the samples must keep
    spec.matrix = 1;
    makeHeic(file, spec);
    const Decoded before = decode(file);
    ASSERT_EQ(before.bits, 10);
    ASSERT_TRUE(before.alpha);
    expectTaggedCopy(file, before);
}

TEST(HeifTagging, LabelsThatAlreadySayDisplayP3AreLeftAlone) {
    TempDir dir;
    const auto byCicp = dir / "cicp.heic";
    const auto byIcc = dir / "icc.heic";
    HeicSpec cicp, icc;
    cicp.primaries = 12;
    icc.p3Icc = true;
    makeHeic(byCicp, cicp);
    makeHeic(byIcc, icc);
    for (const auto& file : {byCicp, byIcc}) {
        const auto bytes = readBytes(file);
        const tg::TGResult r = tg::processImageCore(file);
        EXPECT_EQ(r.outcome, tg::TGOutcome::already) << file;
        EXPECT_EQ(r.message, "Already Display-P3");
        EXPECT_EQ(readBytes(file), bytes);
    }
}

// An HDR picture (PQ transfer) is not sRGB-coded: labelling it Display P3 would change it.
TEST(HeifTagging, HdrPicturesAreRefused) {
    TempDir dir;
    const auto file = dir / "hdr.heic";
    HeicSpec spec;
    spec.bits = 10;
    spec.primaries = 9; // BT.2020
    spec.transfer = 16; // PQ
    spec.matrix = 9;
    makeHeic(file, spec);
    const auto bytes = readBytes(file);
    const tg::TGResult r = tg::processImageCore(file);
    EXPECT_EQ(r.outcome, tg::TGOutcome::error);
    EXPECT_EQ(r.message, "Couldn't tag image");
    EXPECT_EQ(readBytes(file), bytes);
}

// libheif 1.15's HEVC encoder writes greyscale as 4:2:0 colour, so a monochrome HEIC cannot be made
// here; the bad-input side is covered with a cut file and a text file.
TEST(HeifTagging, UnreadableFilesAreLeftAsTheyAre) {
    TempDir dir;
    const auto cut = dir / "cut.heic";
    makeHeic(cut, {});
    auto head = readBytes(cut);
    head.resize(head.size() / 2);
    writeBytes(cut, head);
    const auto text = dir / "notes.heic";
    const std::string words = "not a picture";
    writeBytes(text, {words.begin(), words.end()});
    for (const auto& file : {cut, text}) {
        const auto bytes = readBytes(file);
        const tg::TGResult r = tg::processImageCore(file);
        EXPECT_EQ(r.outcome, tg::TGOutcome::error) << file;
        EXPECT_EQ(r.message, "Can't read image");
        EXPECT_EQ(readBytes(file), bytes);
    }
    EXPECT_TRUE(imgtest::leftovers(dir.path()).empty());
}

TEST(HeifTagging, AWriteThatFailsIsReported) {
    TempDir dir;
    const auto file = dir / "photo.heic";
    makeHeic(file, {});
    const tg::ImageInfo info = tg::inspectHeif(file);
    ASSERT_EQ(info.check, tg::ImageCheck::taggable);
    // A descriptor that refuses writes stands in for a disk that fails under us.
    const auto target = dir / "out.heic";
    writeBytes(target, {});
    const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(tg::writeHeif(file, info, fd));
    ::close(fd);
}

} // namespace
