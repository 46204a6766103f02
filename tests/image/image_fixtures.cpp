#include "image/image_fixtures.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/stat.h>

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

std::pair<std::int64_t, std::int64_t> mtimeOf(const fs::path& file) {
    struct stat st {};
    ::stat(file.c_str(), &st);
    return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

} // namespace imgtest
