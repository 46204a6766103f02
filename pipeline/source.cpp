#include "pipeline/source.h"

#include "base/work_file.h"
#include "model/job.h"
#include "movie/movie_tagger.h"

#include <cerrno>

namespace tg {

namespace {

Failure inUse() {
    return {IN_USE_MESSAGE, errorText(EAGAIN), EAGAIN};
}

} // namespace

Result<FileHandle> openSource(const std::filesystem::path& file, SourceLock lock) {
    // Without blocking: a FIFO named like a movie would otherwise wait for a writer forever.
    auto source = FileHandle::openRegular(file, false);
    if (source.failed()) return source.failure();
    if (lock == SourceLock::hold) {
        if (auto held = holdSource(*source); held.failed()) return held.failure();
    } else if (lockedElsewhere(*source, LockKind::exclusive)) {
        return inUse();
    }
    // Only an in-place run may finish or undo its own edit; a copy of the file as it lies now
    // would copy a half-made movie. A caller that edits it first (the bake) finishes it there.
    if (lock == SourceLock::hold && isMovie(file) && hasInterruptedEdit(file))
        return Failure{INTERRUPTED_EDIT_MESSAGE, "interrupted in-place edit"};
    return source;
}

Status holdSource(const FileHandle& source) {
    const Status held = source.tryLock(LockKind::shared);
    if (FileHandle::isHeldElsewhere(held)) return inUse();
    // A file system without record locks (some network and FUSE ones) cannot keep two runs
    // apart; the copy goes ahead as it would have without locks.
    return {};
}

} // namespace tg
