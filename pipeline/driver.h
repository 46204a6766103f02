// One file, one mode: classify, preflight, make the _P3 copy where asked, hand over to the tagger.
#pragma once

#include "model/job.h"

#include <atomic>
#include <filesystem>
#include <functional>

namespace tg {

// Fraction of a bake done, 0 to 1; called from the bake's own thread.
using ProgressFn = std::function<void(double)>;

// cancel, when given and set during a bake, ends the re-encode; other steps always finish.
TGResult processOne(const std::filesystem::path& file, TGMode mode,
                    const ProgressFn& onProgress = {}, const std::atomic<bool>* cancel = nullptr);

} // namespace tg
