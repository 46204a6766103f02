// Opening the file that a copy or a bake reads: only a regular file, only when no in-place edit
// holds it or waits to be finished, and held with a shared lock while it is read.
#pragma once

#include "base/file.h"

#include <filesystem>

namespace tg {

inline constexpr const char* INTERRUPTED_EDIT_MESSAGE =
    "An interrupted in-place edit of this file must be finished first \u2014 tag it in place.";

enum class SourceLock {
    hold,  // take the shared lock now
    probe, // only make sure no other run holds it at all: the caller edits it first, and that
           // edit finishes an interrupted one
};

// The open source, or a failure whose message is one of the sentences above, or empty (for the
// caller's own prefix) with the cause, such as "not a regular file".
Result<FileHandle> openSource(const std::filesystem::path& file, SourceLock lock);

// Takes the shared lock on a source opened with SourceLock::probe.
Status holdSource(const FileHandle& source);

} // namespace tg
