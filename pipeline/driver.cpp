#include "pipeline/driver.h"

#include "base/work_file.h"
#include "edit/edit.h"
#include "image/image_tagger.h"
#include "movie/movie_tagger.h"
#include "pipeline/bake_step.h"
#include "pipeline/copy.h"
#include "pipeline/leftovers.h"
#include "pipeline/output_names.h"
#include "pipeline/preflight.h"
#include "pipeline/source.h"

#include <cerrno>

namespace tg {

namespace {

// In place asks the preflight for this much room; the patch itself needs at most 19 bytes.
constexpr std::int64_t IN_PLACE_NEED = 1'000'000;

TGResult refusal(const std::string& name, TGOutcome outcome, std::string message,
                 std::string detail) {
    TGResult result(name, outcome, std::move(message));
    result.detail = std::move(detail);
    return result;
}

TGResult tagInPlace(const std::filesystem::path& file, bool movie, const ProgressFn& onProgress) {
    const std::string name = file.filename().string();
    if (auto blocked = writeBlocker(file, IN_PLACE_NEED))
        return refusal(name, TGOutcome::error, blocked->message, blocked->detail);
    // A file that is gone is not "locked": the tagger reports it as unreadable.
    if (fileExists(file) && !isWritable(file)) {
        const int err = errno;
        return refusal(name, TGOutcome::error, "That file is locked or read-only.", errorText(err));
    }
    TGResult result = movie ? tagMovieInPlace(file, movingReporter(onProgress, fileSizeOf(file)))
                            : processImageCore(file);
    result.produced = file;
    return result;
}

// The copy is made and tagged under a hidden name and takes the _P3 name only when complete: an
// earlier _P3 is replaced by a finished copy or not at all.
TGResult tagCopy(const std::filesystem::path& file, bool movie, const ProgressFn& onProgress) {
    const std::string name = file.filename().string();
    const auto copy = p3CopyPath(file);
    if (auto blocked = writeBlocker(file, fileSizeOf(file)))
        return refusal(name, TGOutcome::error, blocked->message, blocked->detail);

    const auto refused = [&](const Failure& why) {
        return refusal(name, TGOutcome::error,
                       why.message.empty() ? "Couldn't make a copy: " + why.cause : why.message,
                       why.cause.empty() ? why.message : why.cause);
    };
    auto source = openSource(file, SourceLock::hold);
    if (source.failed()) return refused(source.failure());
    auto pending = PendingFile::create(copy, COPY_PREFIX, 0600);
    if (pending.failed()) return refused(pending.failure());
    PendingFile temp = std::move(*pending);
    if (auto copied = copyInto(*source, temp.handle()); copied.failed())
        return refused(copied.failure());
    const std::int64_t size = fileSizeOf(temp.path());
    source->reset(); // read in full: the lock goes with it

    // Tagged while it has its hidden name: a kill now leaves only a leftover, never a _P3.
    FileHandle tagger;
    TGResult tagged = movie ? tagMovieInPlace(temp.path(), movingReporter(onProgress, size))
                            : processImageCore(temp.path(), &tagger);
    if (tagger.isOpen()) temp.adopt(std::move(tagger));
    const std::string message = tagged.message + "  →  " + copy.filename().string();
    // An edit of the hidden copy that stopped partway ends with the copy: its journal goes too,
    // and nothing is left to finish, so nothing is promised.
    if (movie && tagged.outcome == TGOutcome::error && discardEdit(temp.path())) {
        TGResult result(name, TGOutcome::error,
                        "Couldn't make a copy: " + tagged.detail.value_or(tagged.message));
        result.detail = tagged.detail;
        return result;
    }
    if (tagged.outcome == TGOutcome::error) {
        TGResult result(name, TGOutcome::error, message);
        result.detail = tagged.detail;
        return result;
    }
    if (auto done = temp.commit(); done.failed()) return refused(done.failure());
    TGResult result(name, tagged.outcome, message, copy);
    result.detail = tagged.detail;
    result.layers = tagged.layers;
    return result;
}

// The folders a run writes into: the file's own, and its target's when it is a link (the photo
// tagger writes beside the target). Only a link is resolved: a path through linked folders
// already names the real folder, and resolving every file would cost a readlink per component.
std::vector<std::string> sweepAround(const std::filesystem::path& file, SweptFolders& swept) {
    auto retired = swept.sweepOnce(folderOf(file));
    std::error_code ec;
    if (!std::filesystem::is_symlink(file, ec)) return retired;
    const auto target = std::filesystem::canonical(file, ec);
    if (!ec)
        for (auto& name : swept.sweepOnce(folderOf(target)))
            retired.push_back(std::move(name));
    return retired;
}

TGResult processSwept(const std::filesystem::path& file, bool movie, TGMode mode,
                      const ProgressFn& onProgress, const std::atomic<bool>* cancel) {
    switch (mode) {
    case TGMode::inPlace:
        return tagInPlace(file, movie, onProgress);
    case TGMode::bake:
        if (movie) return bakeVideo(file, onProgress, cancel);
        return tagCopy(file, movie, onProgress);
    case TGMode::p3Copy:
        return tagCopy(file, movie, onProgress);
    }
    return refusal(file.filename().string(), TGOutcome::error, "Unknown mode", "unknown mode");
}

} // namespace

TGResult processOne(const std::filesystem::path& file, TGMode mode, const ProgressFn& onProgress,
                    const std::atomic<bool>* cancel, SweptFolders* swept) {
    const bool movie = isMovie(file);
    if (!movie && !isImage(file))
        return refusal(file.filename().string(), TGOutcome::skipped, "Skipped (unsupported)",
                       NOT_MEDIA);
    SweptFolders own;
    const auto retired = sweepAround(file, swept ? *swept : own);
    TGResult result = processSwept(file, movie, mode, onProgress, cancel);
    // Said once, by the run that removed them.
    for (const auto& name : retired)
        result.message = "Stale edit journal of " + name + " removed; " + result.message;
    return result;
}

} // namespace tg
