// The web bake of one movie: room check, in-place tag, then the BT.709 re-encode beside it.
#pragma once

#include "model/job.h"
#include "pipeline/progress.h"

#include <atomic>
#include <filesystem>
#include <functional>

namespace tg {

// The re-encode is written under a hidden name and takes the _universal name only when complete,
// so an earlier _universal stays until then and stays for good when the bake fails or is
// cancelled. The source is read under a shared lock.
// Tags a movie in place through the tagger its container needs (Matroska or QuickTime/MP4).
TGResult tagMovieInPlace(const std::filesystem::path& file,
                         const std::function<void(double)>& onMoving = {});

TGResult bakeVideo(const std::filesystem::path& source, const ProgressFn& onProgress = {},
                   const std::atomic<bool>* cancel = nullptr);

} // namespace tg
