#include "image/image_fixtures.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/stat.h>

namespace imgtest {

using tgtest::run;
using tgtest::sh;

std::vector<std::uint8_t> makeProfile(const ProfileSpec& s) {
    const cmsCIExyY white = {s.white[0], s.white[1], 1.0};
    const cmsCIExyYTRIPLE prim = {
        {s.red[0], s.red[1], 1.0}, {s.green[0], s.green[1], 1.0}, {s.blue[0], s.blue[1], 1.0}};
    const cmsFloat64Number srgbParams[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = s.curve == Curve::srgb
                              ? cmsBuildParametricToneCurve(nullptr, 4, srgbParams)
                          : s.curve == Curve::gamma22 ? cmsBuildGamma(nullptr, 2.2)
                                                      : cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &prim, curves);
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

ProfileSpec dciP3() {
    ProfileSpec s;
    s.white[0] = 0.314;
    s.white[1] = 0.351;
    s.description = "DCI-P3";
    return s;
}

ProfileSpec adobeRgb() {
    ProfileSpec s;
    s.red[0] = 0.64, s.red[1] = 0.33;
    s.green[0] = 0.21, s.green[1] = 0.71;
    s.blue[0] = 0.15, s.blue[1] = 0.06;
    s.curve = Curve::gamma22;
    s.description = "Adobe RGB (1998)";
    return s;
}

ProfileSpec srgb() {
    ProfileSpec s;
    s.red[0] = 0.64, s.red[1] = 0.33;
    s.green[0] = 0.30, s.green[1] = 0.60;
    s.blue[0] = 0.15, s.blue[1] = 0.06;
    s.description = "sRGB";
    return s;
}

Tags::Tags(const fs::path& file, const std::string& args) {
    const auto r = run("exiftool -j " + args + " " + sh(file));
    auto parsed = nlohmann::json::parse(r.out, nullptr, false);
    if (parsed.is_array() && !parsed.empty())
        json_ = parsed[0];
    else
        json_ = nlohmann::json::object();
}

std::string Tags::operator[](const std::string& tag) const {
    if (!json_.contains(tag)) return "";
    const auto& v = json_[tag];
    return v.is_string() ? v.get<std::string>() : v.dump();
}

void embedProfile(const fs::path& file, const std::vector<std::uint8_t>& icc) {
    const auto iccFile = file.parent_path() / (file.filename().string() + ".icc");
    tgtest::writeBytes(iccFile, icc);
    auto r = run("exiftool -q -q -overwrite_original '-icc_profile<=" + iccFile.string() + "' " +
                 sh(file));
    fs::remove(iccFile);
    ASSERT_EQ(r.status, 0);
}

std::string pixels(const fs::path& file, const std::string& map) {
    auto r = run("convert " + sh(file) + " " + map + ":-");
    EXPECT_EQ(r.status, 0) << file;
    return r.out;
}

std::vector<std::string> leftovers(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().rfind(".tg_img_", 0) == 0)
            names.push_back(e.path().filename().string());
    return names;
}

std::pair<std::int64_t, std::int64_t> mtimeOf(const fs::path& file) {
    struct stat st {};
    ::stat(file.c_str(), &st);
    return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

} // namespace imgtest
