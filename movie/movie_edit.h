// A movie edit as the tagger plans it, handed to the edit engine: moov as the region that grows,
// the chunk and item offsets that follow the tail, and the free atoms an absorb may take.
#pragma once

#include "base/file.h"
#include "edit/edit.h"
#include "model/job.h"
#include "movie/atoms.h"
#include "movie/insertion_plan.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tg {

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
    std::vector<Overwrite> overwrites;       // same-length writes, at positions before the edit
    std::optional<InsertionPlan> insertion;  // colour atoms to insert, with what they move
    std::vector<OffsetField> outsideOffsets; // file offsets stored outside moov (top-level meta)
    TGOutcome outcome = TGOutcome::fixed;    // reported when done
    std::string message;
};

// Carries out the edit as one journaled transaction (edit/edit.h).
TGResult applyEdit(const MovieFile& movie, const MovieEdit& edit, const Progress& onMoving);

} // namespace tg
