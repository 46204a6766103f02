// Re-labels a photo as Display P3 without touching its pixels.
#pragma once

#include "base/file.h"
#include "model/job.h"

#include <filesystem>

namespace tg {

inline constexpr const char* CANT_READ_IMAGE = "Can't read image";

// When `committed` is given, it receives the open, live-marked handle of the file now at `file`,
// so that a caller tagging a hidden copy keeps that copy marked until it renames it.
TGResult processImageCore(const std::filesystem::path& file, FileHandle* committed = nullptr);

// The result processImageCore would give, found by reading the photo only: through `opened`
// when the caller has it open already.
TGResult wouldTagImage(const std::filesystem::path& file, const FileHandle* opened = nullptr);

} // namespace tg
