// One file, one mode: classify, preflight, make the _P3 copy where asked, hand over to the tagger.
#pragma once

#include "model/job.h"
#include "pipeline/progress.h"

#include <atomic>
#include <filesystem>

namespace tg {

// Every supported file first clears its folder of killed runs' leftovers. onProgress hears a
// bake's encode and a large in-place move. cancel, when given and set during a bake, ends the
// re-encode; other steps always finish.
TGResult processOne(const std::filesystem::path& file, TGMode mode,
                    const ProgressFn& onProgress = {}, const std::atomic<bool>* cancel = nullptr);

} // namespace tg
