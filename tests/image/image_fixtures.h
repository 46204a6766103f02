// Helpers for the tagging tests: sources made with ImageMagick and exiftool, ICC profiles made with
// lcms2, and exiftool as an independent reader of the results.
#pragma once

#include "fixtures/box_bytes.h"
#include "fixtures/media.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace imgtest {

namespace fs = std::filesystem;
using namespace tgtest;

inline const std::string TAGGED = "Tagged \u2192 Display-P3";

// Runs a command line; fails the current test when it does not exit 0.
inline void command(const std::string& line) {
    ASSERT_EQ(run(line).status, 0) << line;
}
// A 64x48 picture with detail in every channel, written by ImageMagick with the given options
// and output prefix (such as "PNG8:").
inline void makeImage(const fs::path& file, const std::string& options,
                      const std::string& prefix = "") {
    command("convert -size 64x48 gradient:#ff2000-#0030ff -swirl 90 " + options + " " + prefix +
            sh(file));
}
// Camera metadata as a phone leaves it: Make, Model, GPS and an XMP title.
inline void addCameraMetadata(const fs::path& file, const std::string& extraArgs = "") {
    command("exiftool -q -q -overwrite_original -Make=Canon '-Model=EOS R5' -GPSLatitude=48.1 "
            "-GPSLatitudeRef=N -XMP:Title=Secret " +
            extraArgs + " " + sh(file));
}

enum class Curve { srgb, gamma22 };
struct ProfileRecipe {
    std::string description = "Display P3";
    double white[2] = {0.3127, 0.3290};
    double red[2] = {0.680, 0.320};
    double green[2] = {0.265, 0.690};
    double blue[2] = {0.150, 0.060};
    Curve curve = Curve::srgb;
    double version = 4.3;
};
// A matrix/TRC RGB display profile written by lcms2, as another program would make it.
inline std::vector<std::uint8_t> makeProfile(const ProfileRecipe& s) {
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

// exiftool -j -n <tags> <file>, as JSON ({} when exiftool reads nothing).
inline nlohmann::json exif(const fs::path& file, const std::string& tags = "") {
    const auto j =
        nlohmann::json::parse(run("exiftool -j -n " + tags + " " + sh(file)).out, nullptr, false);
    return j.is_array() && !j.empty() ? j[0] : nlohmann::json::object();
}
// A table row's test name from its file name: photo.heic gives photo_heic.
inline std::string rowName(std::string file) {
    file[file.find('.')] = '_';
    return file;
}
// A JPEG marker segment, and a PNG chunk with its CRC.
inline Blob jpegSegment(std::uint8_t marker, const Blob& body) {
    return cat({{0xFF, marker}, be(body.size() + 2, 2), body});
}
inline Blob pngChunk(const std::string& type, const Blob& data) {
    const Blob typed = cat({text(type), data});
    return cat({be(data.size()), typed, be(crc32(0, typed.data(), uInt(typed.size())))});
}
// Hidden temporary files of the tagger left in a folder.
inline std::vector<fs::path> leftovers(const fs::path& folder) {
    return namesStartingWith(folder, ".tg_img_");
}

} // namespace imgtest
