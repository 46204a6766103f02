#include "core/driver.h"

#include "bake/bake.h"
#include "core/copy.h"
#include "core/file.h"
#include "core/preflight.h"
#include "image/image_tagger.h"
#include "movie/movie_tagger.h"

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
    TGResult r = movie ? processCore(file) : processImageCore(file);
    r.produced = file;
    return r;
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
    std::string why;
    if (!copyFile(file, copy, why)) return copyFailed(why);

    TGResult r = movie ? processCore(copy) : processImageCore(copy);
    const bool failed = r.outcome == TGOutcome::error;
    if (failed) removeFile(copy);
    return {name, r.outcome, r.message + "  →  " + copy.filename().string(),
            failed ? std::nullopt : std::optional(copy)};
}

} // namespace

std::filesystem::path p3CopyPath(const std::filesystem::path& file) {
    auto name = file.stem().string() + "_P3." + extensionOf(file);
    return file.parent_path() / name;
}

TGResult processOne(const std::filesystem::path& file, TGMode mode, const ProgressFn& onProgress) {
    const bool movie = isMovie(file);
    if (!movie && !isImage(file))
        return {file.filename().string(), TGOutcome::skipped, "Skipped (unsupported)"};
    switch (mode) {
    case TGMode::inPlace:
        return tagInPlace(file, movie);
    case TGMode::bake:
        if (movie) return bakeVideo(file, onProgress);
        return tagCopy(file, movie);
    case TGMode::p3Copy:
        return tagCopy(file, movie);
    }
    return {file.filename().string(), TGOutcome::error, "Unknown mode"};
}

} // namespace tg
