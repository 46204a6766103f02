// Copies a file beside itself the cheapest way the file system allows.
#pragma once

#include "base/result.h"

#include <filesystem>
#include <string>

namespace tg {

// Clones source to destination (FICLONE) where the file system can, otherwise copies in the
// kernel (copy_file_range). destination must not exist. The copy gets the source's permission
// bits plus write permission for its owner. On failure the partial copy is removed; the cause is
// the system's description of the error.
Status copyFile(const std::filesystem::path& source, const std::filesystem::path& destination);

} // namespace tg
