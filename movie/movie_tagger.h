// Tags a movie Display P3 where it lies: patches existing colour atoms, or inserts one.
#pragma once

#include "core/job.h"

#include <filesystem>

namespace tg {

// Rewrites the primaries of every nclc/nclx colour atom to Display P3, or hands over to addColr
// when there is none. HDR movies are left alone.
TGResult processCore(const std::filesystem::path& file);

// Inserts a 19-byte Display P3 colour atom into the first video sample entry, growing the file.
TGResult addColr(const std::filesystem::path& file);

} // namespace tg
