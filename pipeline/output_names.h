// The names of the files a run makes beside the one it was given.
#pragma once

#include <filesystem>

namespace tg {

// stem + "_P3." + extension as written.
std::filesystem::path p3CopyPath(const std::filesystem::path& file);
// stem + "_universal." + extension as written.
std::filesystem::path universalPath(const std::filesystem::path& file);

} // namespace tg
