#include "pipeline/bake_step.h"

#include "base/file.h"
#include "movie/movie_tagger.h"
#include "pipeline/bake_process.h"
#include "pipeline/output_names.h"
#include "pipeline/preflight.h"

namespace tg {

TGResult bakeVideo(const std::filesystem::path& source,
                   const std::function<void(double)>& onProgress, const std::atomic<bool>* cancel) {
    const std::string name = source.filename().string();
    if (auto blocked = writeBlocker(source, fileSizeOf(source)))
        return {name, TGOutcome::error, *blocked};

    TGResult tagged = processCore(source);
    if (tagged.outcome == TGOutcome::hdr) return tagged;
    if (tagged.outcome == TGOutcome::error) {
        TGResult failed(name, TGOutcome::error, "Couldn't tag before baking: " + tagged.message);
        failed.detail = tagged.detail;
        return failed;
    }

    const auto output = universalPath(source);
    if (fileExists(output)) removeFile(output);

    const Status status = runBakeHelper(source, output, onProgress, cancel);
    if (status.ok())
        return {name, TGOutcome::added, "Baked at full quality  →  " + output.filename().string(),
                output};
    removeFile(output);
    TGResult failed(name, TGOutcome::error, "Re-encode failed: " + status.failure().message);
    if (!status.cause().empty()) failed.detail = status.cause();
    return failed;
}

} // namespace tg
