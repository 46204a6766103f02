#include "image/image_tagger.h"

// Placeholder until the image tagger lands.
namespace tg {
TGResult processImageCore(const std::filesystem::path& file) {
    return {file.filename().string(), TGOutcome::error, "Not built yet"};
}
} // namespace tg
