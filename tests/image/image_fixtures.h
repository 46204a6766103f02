// Helpers for the JPEG and PNG tests: ICC profiles made with lcms2, and exiftool / ImageMagick as
// independent readers.
#pragma once

#include "fixtures/media.h"

#include <cstdint>
#include <string>
#include <vector>

namespace imgtest {

namespace fs = std::filesystem;

enum class Curve { srgb, gamma22, linear };

struct ProfileSpec {
    double white[2] = {0.3127, 0.3290};
    double red[2] = {0.680, 0.320};
    double green[2] = {0.265, 0.690};
    double blue[2] = {0.150, 0.060};
    Curve curve = Curve::srgb;
    double version = 4.3;
    std::string description = "Display P3";
};

// A matrix/TRC RGB display profile written by lcms2, as another program would make it.
std::vector<std::uint8_t> makeProfile(const ProfileSpec& spec);
ProfileSpec dciP3();
ProfileSpec adobeRgb();
ProfileSpec srgb();

// exiftool -j <args> <file>: tag name to value ("" when the file has no such tag). One exiftool
// run per call, so ask for every tag a check needs at once.
class Tags {
public:
    Tags(const fs::path& file, const std::string& args);
    std::string operator[](const std::string& tag) const;
    bool has(const std::string& tag) const { return json_.contains(tag); }

private:
    nlohmann::json json_;
};
// Embeds an ICC profile as it is, pixels untouched (exiftool).
void embedProfile(const fs::path& file, const std::vector<std::uint8_t>& icc);
// The decoded pixels as raw bytes ("rgb", "rgba", "gray"; 16-bit when the image is).
std::string pixels(const fs::path& file, const std::string& map = "rgb");
// Hidden temporary files of the tagger left in a folder.
std::vector<std::string> leftovers(const fs::path& folder);
// Seconds and nanoseconds of the last modification.
std::pair<std::int64_t, std::int64_t> mtimeOf(const fs::path& file);

} // namespace imgtest
