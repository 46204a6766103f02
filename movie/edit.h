// One in-place edit of a movie as a transaction: same-length overwrites plus at most one set of
// colour-atom insertions, carried out by the cheapest route the file allows and journaled, so that
// a kill or power loss at any instant leaves the original, the finished file, or a state that the
// next in-place run finishes or undoes (see docs/edit-safety.md).
#pragma once

#include "base/file.h"
#include "model/job.h"
#include "movie/atoms.h"
#include "movie/insertion_plan.h"
#include "movie/journal.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tg {

using Progress = std::function<void(double)>;

// A movie as read for planning, through the one descriptor the whole edit holds.
struct MovieFile {
    const FileHandle* file = nullptr;
    std::filesystem::path path;
    FileIdentity identity; // when the plan was made; the edit refuses if it moved since
    std::vector<TopAtom> top;
    TopAtom moov;
    std::vector<std::uint8_t> moovBytes;
};

struct MovieEdit {
    std::vector<Overwrite> overwrites;      // same-length writes, at positions before the edit
    std::optional<InsertionPlan> insertion; // colour atoms to insert, with what they move
    std::vector<OffsetRef> outsideOffsets;  // file offsets stored outside moov (top-level meta)
    TGOutcome outcome = TGOutcome::fixed;   // reported when done
    std::string message;
};

// Carries out the edit. Everything that can refuse does so before the movie's first byte
// changes; a failure after that leaves the journal for the next run.
TGResult applyEdit(const MovieFile& movie, const MovieEdit& edit, const Progress& onMoving);

enum class Recovered { nothing, finished, undone };
struct Recovery {
    Recovered kind = Recovered::nothing;
    TGOutcome outcome = TGOutcome::fixed; // of the interrupted edit, when finished
};

// Finishes or undoes an interrupted edit of the open, locked movie, if its journal is there. A
// failure means the journal stays and nothing else may touch the file.
Result<Recovery> recoverEdit(const FileHandle& file, const std::filesystem::path& path,
                             const Progress& onMoving);

// The moving threshold above which an edit reports progress.
inline constexpr std::uint64_t PROGRESS_FROM = 256ull << 20;

} // namespace tg
