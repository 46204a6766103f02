// One file, one mode: classify, preflight, make the _P3 copy where asked, hand over to the tagger.
#pragma once

#include "model/job.h"
#include "pipeline/progress.h"

#include <atomic>
#include <filesystem>

namespace tg {

class SweptFolders;

// The detail of a file that is neither a movie nor a photo.
inline constexpr const char* NOT_MEDIA = "not a movie or photo";

// Every supported file first clears its folder of killed runs' leftovers, unless swept says this
// run has already cleared it (a batch passes its own; without one, the folder is always swept).
// onProgress hears a bake's encode and a large in-place move. cancel, when given and set during a
// bake, ends the re-encode; other steps always finish.
TGResult processOne(const std::filesystem::path& file, TGMode mode,
                    const ProgressFn& onProgress = {}, const std::atomic<bool>* cancel = nullptr,
                    SweptFolders* swept = nullptr);

} // namespace tg
