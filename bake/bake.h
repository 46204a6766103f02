// The BT.709 re-encode. Only this room links FFmpeg; the rest of the program reaches it through
// the tintguard-bake helper (bake/helper_protocol.h), so FFmpeg loads only when a bake runs.
#pragma once

#include "base/result.h"

#include <filesystem>
#include <functional>

namespace tg {

// Re-encodes source into destination (BT.709 video, audio copied). Never deletes destination.
// A failure's message is the short cause the bake's result shows ("no video track", ...).
Status bakeToRec709Sync(const std::filesystem::path& source,
                        const std::filesystem::path& destination,
                        const std::function<void(double)>& onProgress = {});

} // namespace tg
