// The frame every movie edit runs in: one descriptor opened without blocking and locked from the
// first read to the last write, an interrupted edit finished or undone before anything else, size
// and identity taken from the descriptor, then the edit and its result.
#pragma once

#include "model/job.h"
#include "movie/colour_decision.h"
#include "movie/edit.h"

#include <filesystem>

namespace tg {

enum class TagMode {
    core,   // patch existing colour atoms, add where there are none (processCore)
    addOnly // only add atoms to entries without one (addColr)
};

TGResult tagMovie(const std::filesystem::path& file, TagMode mode, const Progress& onMoving);

} // namespace tg
