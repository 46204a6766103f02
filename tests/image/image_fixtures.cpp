#include "image/image_fixtures.h"

#include "image/image_tagger.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <sys/stat.h>

#include <memory>

namespace imgtest {

void command(const std::string& line) {
    ASSERT_EQ(run(line).status, 0) << line;
}

void makeImage(const fs::path& file, const std::string& options, const std::string& prefix) {
    command("convert -size 64x48 gradient:#ff2000-#0030ff -swirl 90 " + options + " " + prefix +
            sh(file));
}

void addCameraMetadata(const fs::path& file, const std::string& extraArgs) {
    command("exiftool -q -q -overwrite_original -Make=Canon '-Model=EOS R5' -GPSLatitude=48.1 "
            "-GPSLatitudeRef=N -XMP:Title=Secret " +
            extraArgs + " " + sh(file));
}

std::vector<std::uint8_t> makeProfile(const ProfileRecipe& s) {
    const cmsCIExyY white = {s.white[0], s.white[1], 1.0};
    const cmsCIExyYTRIPLE primaries = {
        {s.red[0], s.red[1], 1.0}, {s.green[0], s.green[1], 1.0}, {s.blue[0], s.blue[1], 1.0}};
    const cmsFloat64Number srgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = s.curve == Curve::srgb ? cmsBuildParametricToneCurve(nullptr, 4, srgb)
                                                 : cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    cmsSetProfileVersion(p, s.version);
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", s.description.c_str());
    cmsWriteTag(p, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    return bytes;
}

nlohmann::json exif(const fs::path& file, const std::string& tags) {
    const auto j =
        nlohmann::json::parse(run("exiftool -j -n " + tags + " " + sh(file)).out, nullptr, false);
    return j.is_array() && !j.empty() ? j[0] : nlohmann::json::object();
}

std::vector<std::string> leftovers(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().starts_with(".tg_img_"))
            names.push_back(e.path().filename().string());
    return names;
}

std::pair<std::int64_t, std::int64_t> mtimeOf(const fs::path& file) {
    struct stat st {};
    ::stat(file.c_str(), &st);
    return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

HeicPicture decodeHeic(const fs::path& file) {
    HeicPicture pic;
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(),
                                                                    heif_context_free);
    heif_image_handle* h = nullptr;
    if (heif_context_read_from_file(ctx.get(), file.c_str(), nullptr).code != heif_error_Ok ||
        heif_context_get_primary_image_handle(ctx.get(), &h).code != heif_error_Ok)
        return pic;
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
        h, heif_image_handle_release);
    pic.bits = heif_image_handle_get_luma_bits_per_pixel(h);
    const int bytes = pic.bits > 8 ? 2 : 1;
    heif_image* i = nullptr;
    if (heif_decode_image(
            h, &i, heif_colorspace_RGB,
            bytes == 2 ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB, nullptr)
            .code != heif_error_Ok)
        return pic;
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(i, heif_image_release);
    pic.width = heif_image_get_width(i, heif_channel_interleaved);
    pic.height = heif_image_get_height(i, heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(i, heif_channel_interleaved, &stride);
    for (int y = 0; y < pic.height; ++y)
        for (int x = 0; x < pic.width * 3; ++x) {
            const std::uint8_t* at = plane + y * stride + x * bytes;
            pic.samples.push_back(bytes == 2 ? at[0] | at[1] << 8 : at[0]);
        }
    return pic;
}

void expectTagged(const fs::path& file, const fs::path& original) {
    const auto perms = fs::status(file).permissions();
    const auto r = tg::processImageCore(file);
    EXPECT_EQ(r.outcome, tg::TGOutcome::fixed) << r.message;
    EXPECT_EQ(r.message, TAGGED);

    const auto meta = exif(file);
    EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3");
    for (const char* gone : {"Make", "Model", "GPSLatitude", "Title", "XMPToolkit"})
        EXPECT_FALSE(meta.contains(gone)) << gone << " survived";
    EXPECT_EQ(fs::status(file).permissions(), perms);
    EXPECT_EQ(run("identify -format '%p\\n' " + sh(file)).out, "0\n"); // one picture
    EXPECT_TRUE(leftovers(file.parent_path()).empty());

    if (file.extension() == ".heic") { // as libheif shows it, rotation applied
        const auto before = decodeHeic(original), after = decodeHeic(file);
        EXPECT_FALSE(after.samples.empty());
        EXPECT_EQ(after.width, before.width);
        EXPECT_TRUE(after.samples == before.samples) << "picture changed";
    } else { // the first picture, at the source's depth, alpha included
        const auto pixels = [](const fs::path& f) {
            return run("convert " + sh(f.string() + "[0]") + " rgba:-").out;
        };
        EXPECT_EQ(pixels(file), pixels(original));
    }
}

} // namespace imgtest
