// One in-place edit as a transaction: same-length overwrites plus at most one region rebuilt
// longer, carried out by the cheapest route the file allows and journaled, so that a kill or power
// loss at any instant leaves the original, the finished file, or a state that the next in-place
// run finishes or undoes (see docs/edit-safety.md).
#pragma once

#include "base/file.h"
#include "edit/edit_plan.h"
#include "model/job.h"

#include <filesystem>
#include <functional>

namespace tg {

using Progress = std::function<void(double)>;

// The file an edit changes, through the one descriptor the whole edit holds.
struct EditTarget {
    const FileHandle* file = nullptr;
    std::filesystem::path path;
    FileIdentity identity; // when the plan was made; the edit refuses if it moved since
};

// Carries out the plan. Everything that can refuse does so before the file's first byte
// changes; a failure after that leaves the journal for the next run.
TGResult runEdit(const EditTarget& target, const EditPlan& plan, const Progress& onMoving);

enum class Recovered { nothing, finished, undone };
struct Recovery {
    Recovered kind = Recovered::nothing;
    TGOutcome outcome = TGOutcome::fixed; // of the interrupted edit, when finished
};

// Finishes or undoes an interrupted edit of the open, locked file, found by the mark at its end
// wherever the file now lies; its journal is looked for beside it, then where it was written. A
// journal is played back only when it is one this program made for this very file. A failure
// means nothing was written and nothing else may touch the file.
Result<Recovery> recoverEdit(const FileHandle& file, const std::filesystem::path& path,
                             const Progress& onMoving);

// The frame of every in-place tag of the open file: it is locked exclusively, an interrupted edit
// is finished or undone, then tag runs; what the recovery did is said in front of tag's result.
TGResult tagLocked(const FileHandle& file, const std::filesystem::path& path,
                   const Progress& onMoving, const std::function<TGResult()>& tag);

// An error result for the file's name: message, and the failure's cause as its detail.
TGResult failedResult(const std::filesystem::path& path, const std::string& message,
                      const Failure& why);

// Removes the journal of an unfinished edit of a file about to be deleted (a copy that failed);
// true when there was one.
bool discardEdit(const std::filesystem::path& file);

// The moving threshold above which an edit reports progress.
inline constexpr std::uint64_t PROGRESS_FROM = 256ull << 20;

} // namespace tg
