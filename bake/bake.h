// The web bake: tag the source in place, then write a BT.709 version beside it.
#pragma once

#include "core/job.h"

#include <filesystem>
#include <functional>
#include <string>

namespace tg {

TGResult bakeVideo(const std::filesystem::path& source,
                   const std::function<void(double)>& onProgress = {});

struct BakeStatus {
    bool ok = false;
    std::string message; // "ok" on success
};

// Re-encodes source into destination (BT.709 video, audio copied). Never deletes destination.
BakeStatus bakeToRec709Sync(const std::filesystem::path& source,
                            const std::filesystem::path& destination,
                            const std::function<void(double)>& onProgress = {});

} // namespace tg
