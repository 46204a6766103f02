#include "pipeline/driver.h"

#include "base/file.h"
#include "image/image_tagger.h"
#include "movie/movie_tagger.h"
#include "pipeline/bake_step.h"
#include "pipeline/copy.h"
#include "pipeline/output_names.h"
#include "pipeline/preflight.h"

#include <cerrno>

namespace tg {

namespace {

// In place asks the preflight for this much room; the patch itself needs at most 19 bytes.
constexpr std::int64_t IN_PLACE_NEED = 1'000'000;

TGResult tagInPlace(const std::filesystem::path& file, bool movie) {
    const std::string name = file.filename().string();
    if (auto blocked = writeBlocker(file, IN_PLACE_NEED)) return {name, TGOutcome::error, *blocked};
    // A file that is gone is not "locked": the tagger reports it as unreadable.
    if (fileExists(file) && !isWritable(file))
        return {name, TGOutcome::error, "That file is locked or read-only."};
    TGResult result = movie ? processCore(file) : processImageCore(file);
    result.produced = file;
    return result;
}

TGResult tagCopy(const std::filesystem::path& file, bool movie) {
    const std::string name = file.filename().string();
    const auto copy = p3CopyPath(file);
    if (auto blocked = writeBlocker(file, fileSizeOf(file)))
        return {name, TGOutcome::error, *blocked};

    auto copyFailed = [&](const std::string& why) {
        removeFile(copy);
        return TGResult(name, TGOutcome::error, "Couldn't make a copy: " + why);
    };
    if (fileExists(copy) && !removeFile(copy)) return copyFailed(errorText(errno));
    if (auto copied = copyFile(file, copy); copied.failed()) return copyFailed(copied.cause());

    TGResult tagged = movie ? processCore(copy) : processImageCore(copy);
    const bool failed = tagged.outcome == TGOutcome::error;
    if (failed) removeFile(copy);
    TGResult result(name, tagged.outcome, tagged.message + "  →  " + copy.filename().string(),
                    failed ? std::nullopt : std::optional(copy));
    result.detail = tagged.detail;
    return result;
}

} // namespace

TGResult processOne(const std::filesystem::path& file, TGMode mode, const ProgressFn& onProgress,
                    const std::atomic<bool>* cancel) {
    const bool movie = isMovie(file);
    if (!movie && !isImage(file))
        return {file.filename().string(), TGOutcome::skipped, "Skipped (unsupported)"};
    switch (mode) {
    case TGMode::inPlace:
        return tagInPlace(file, movie);
    case TGMode::bake:
        if (movie) return bakeVideo(file, onProgress, cancel);
        return tagCopy(file, movie);
    case TGMode::p3Copy:
        return tagCopy(file, movie);
    }
    return {file.filename().string(), TGOutcome::error, "Unknown mode"};
}

} // namespace tg
