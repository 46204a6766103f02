// The bake driver: room check, in-place tag, then the BT.709 re-encode beside the source.
#include "bake/bake.h"
#include "core/file.h"
#include "core/preflight.h"
#include "movie/movie_tagger.h"

namespace tg {

TGResult bakeVideo(const std::filesystem::path& source,
                   const std::function<void(double)>& onProgress) {
    const std::string name = source.filename().string();
    if (auto blocked = writeBlocker(source, fileSizeOf(source)))
        return {name, TGOutcome::error, *blocked};

    TGResult tagged = processCore(source);
    if (tagged.outcome == TGOutcome::hdr) return tagged;
    if (tagged.outcome == TGOutcome::error)
        return {name, TGOutcome::error, "Couldn't tag before baking: " + tagged.message};

    const auto outputName = source.stem().string() + "_universal." + extensionOf(source);
    const auto output = source.parent_path() / outputName;
    if (fileExists(output)) removeFile(output);

    const BakeStatus status = bakeToRec709Sync(source, output, onProgress);
    if (status.ok)
        return {name, TGOutcome::added, "Baked at full quality  →  " + outputName, output};
    removeFile(output);
    return {name, TGOutcome::error, "Re-encode failed: " + status.message};
}

} // namespace tg
