// The web bake of one movie: room check, in-place tag, then the BT.709 re-encode beside it.
#pragma once

#include "model/job.h"

#include <atomic>
#include <filesystem>
#include <functional>

namespace tg {

TGResult bakeVideo(const std::filesystem::path& source,
                   const std::function<void(double)>& onProgress = {},
                   const std::atomic<bool>* cancel = nullptr);

} // namespace tg
