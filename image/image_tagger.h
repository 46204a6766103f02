// Re-labels a photo as Display P3 without touching its pixels.
#pragma once

#include "model/job.h"

#include <filesystem>

namespace tg {

TGResult processImageCore(const std::filesystem::path& file);

// The result processImageCore would give, found by reading the photo only.
TGResult wouldTagImage(const std::filesystem::path& file);

} // namespace tg
