// Helpers for the tagging tests: sources made with ImageMagick and exiftool, ICC profiles made with
// lcms2, and exiftool as an independent reader of the results.
#pragma once

#include "fixtures/media.h"

#include <cstdint>
#include <string>
#include <vector>

namespace imgtest {

namespace fs = std::filesystem;
using namespace tgtest;

inline const std::string TAGGED = "Tagged \u2192 Display-P3";

// Runs a command line; fails the current test when it does not exit 0.
void command(const std::string& line);
// A 64x48 picture with detail in every channel, written by ImageMagick with the given options
// and output prefix (such as "PNG8:").
void makeImage(const fs::path& file, const std::string& options, const std::string& prefix = "");
// Camera metadata as a phone leaves it: Make, Model, GPS and an XMP title.
void addCameraMetadata(const fs::path& file, const std::string& extraArgs = "");

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
std::vector<std::uint8_t> makeProfile(const ProfileRecipe& recipe);

// exiftool -j -n <tags> <file>, as JSON ({} when exiftool reads nothing).
nlohmann::json exif(const fs::path& file, const std::string& tags = "");
// Hidden temporary files of the tagger left in a folder.
inline std::vector<fs::path> leftovers(const fs::path& folder) {
    return namesStartingWith(folder, ".tg_img_");
}
// Seconds and nanoseconds of the last modification.
std::pair<std::int64_t, std::int64_t> mtimeOf(const fs::path& file);

} // namespace imgtest
