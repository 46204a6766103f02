#include "bake/bake.h"

// Placeholder until the bake lands.
namespace tg {
TGResult bakeVideo(const std::filesystem::path& source, const std::function<void(double)>&) {
    return {source.filename().string(), TGOutcome::error, "Not built yet"};
}
BakeStatus bakeToRec709Sync(const std::filesystem::path&, const std::filesystem::path&,
                            const std::function<void(double)>&) {
    return {false, "not built"};
}
} // namespace tg
