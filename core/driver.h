// One file, one mode: classify, preflight, make the _P3 copy where asked, hand over to the tagger.
#pragma once

#include "core/job.h"

#include <filesystem>
#include <functional>

namespace tg {

// Fraction of a bake done, 0 to 1; called from the bake's own thread.
using ProgressFn = std::function<void(double)>;

TGResult processOne(const std::filesystem::path& file, TGMode mode,
                    const ProgressFn& onProgress = {});

// The name of the tagged copy beside file: stem + "_P3." + extension as written.
std::filesystem::path p3CopyPath(const std::filesystem::path& file);

} // namespace tg
