#include "pipeline/bake_step.h"

#include "base/work_file.h"
#include "matroska/mkv_tagging.h"
#include "movie/movie_tagger.h"
#include "pipeline/bake_process.h"
#include "pipeline/leftovers.h"
#include "pipeline/output_names.h"
#include "pipeline/preflight.h"
#include "pipeline/source.h"

namespace tg {

namespace {

TGResult failed(const std::string& name, const std::string& prefix, const Failure& why) {
    TGResult result(name, TGOutcome::error, why.message.empty() ? prefix + why.cause : why.message);
    result.detail = !why.cause.empty() ? why.cause : !why.message.empty() ? why.message : "failed";
    return result;
}

} // namespace

TGResult tagMovieInPlace(const std::filesystem::path& file,
                         const std::function<void(double)>& onMoving) {
    return isMatroska(file) ? tagMatroska(file, onMoving) : processCore(file, onMoving);
}

TGResult bakeVideo(const std::filesystem::path& source, const ProgressFn& onProgress,
                   const std::atomic<bool>* cancel) {
    const std::string name = source.filename().string();
    if (auto blocked = writeBlocker(source, fileSizeOf(source))) {
        TGResult result(name, TGOutcome::error, blocked->message);
        result.detail = blocked->detail;
        return result;
    }

    auto held = openSource(source, SourceLock::probe);
    if (held.failed()) return failed(name, "Couldn't tag before baking: ", held.failure());

    TGResult tagged = tagMovieInPlace(source, movingReporter(onProgress, fileSizeOf(source)));
    if (tagged.outcome == TGOutcome::hdr) return tagged;
    if (tagged.outcome == TGOutcome::error) {
        TGResult result(name, TGOutcome::error, "Couldn't tag before baking: " + tagged.message);
        result.detail = tagged.detail;
        return result;
    }
    // Tagged and unlocked again by the tagger; from here the source is only read.
    if (auto locked = holdSource(*held); locked.failed())
        return failed(name, "Re-encode failed: ", locked.failure());

    const auto output = universalPath(source);
    auto pending = PendingFile::create(output, BAKE_PREFIX, 0666);
    if (pending.failed())
        return failed(name, "", {"Re-encode failed: writer init", pending.cause()});
    PendingFile temp = std::move(*pending);

    std::function<void(double)> encoding;
    if (onProgress) encoding = [&](double f) { onProgress(ProgressPhase::encoding, f); };
    const Status baked =
        runBakeHelper(held->fd(), temp.path(), temp.handle().fd(), encoding, cancel);
    held->reset();
    if (baked.failed()) {
        TGResult result(name, TGOutcome::error, "Re-encode failed: " + baked.failure().message);
        result.detail = baked.cause().empty() ? baked.failure().message : baked.cause();
        return result;
    }
    if (auto done = temp.commit(); done.failed())
        return failed(name, "Re-encode failed: ", {"", done.cause()});
    return {name, TGOutcome::added, "Baked at full quality  →  " + output.filename().string(),
            output};
}

} // namespace tg
